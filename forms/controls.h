#pragma once
// Building blocks the windows share: a fixed frame, buttons that are never the default,
// labels that show their text literally.
#include <QDialog>
#include <QLabel>
#include <QPushButton>
#include <QString>

namespace kvor::forms {

// Fixed client size in twips, no minimise/maximise; `closeBox` adds the close button.
void MakeFixedDialog(QDialog& dialog, int widthTwips, int heightTwips, bool closeBox);

// Keeps the dialog above the main window `main` (and off the task bar) while that window shows.
void AttachToMainWindow(QDialog& dialog, const QWidget* main);

// A plain label at a twip rectangle. Transparent, top-left aligned; the text is never read as
// markup, so '<' or '&' in a path shows as itself.
QLabel* MakeLabel(QWidget* parent, const QString& text, int left, int top, int width, int height);

// A value box: white background, single-line border.
void MakeValueBox(QLabel* label);

// A push button at a twip rectangle; never the window's default, but Enter presses it while it
// has the focus.
QPushButton* MakeButton(QWidget* parent, const QString& text, int left, int top, int width,
                        int height);

// Enter (and the keypad's) presses `button` while it has the focus. Qt's own auto-default
// would make the first such button of a dialog its default, which Enter on any other control
// then presses; no window here has a default button.
void EnterPresses(QPushButton& button);

}  // namespace kvor::forms
