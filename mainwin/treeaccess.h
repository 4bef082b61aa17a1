#pragma once
// The directory tree as a screen reader meets it: a tree whose children are the header and the
// rows shown, each row with its state (open or closed) and the actions that open, close or go
// to that very row, which moves the view's current row, selection and focus with it.

namespace kvor {

// Makes the directory tree's views answer with this interface; once is enough.
void InstallTreeAccess();

}  // namespace kvor
