#pragma once
// The flags the main window and the drive dialog share while the program runs. One instance
// lives for the whole run; every member starts at zero (false). A scan's own figures travel
// apart, in its result.
namespace kvor {

struct ScanState {
  // The user stopped the last scan; a change of drive or a Refresh clears it.
  bool gAbort = false;
  // The next Select Disk rescans the current drive without the dialog.
  bool gRescan = false;
  // The next change of the drive list comes from the dialog's own code.
  bool gIgnoreDriveChange = false;
  // The drive list's position of the drive scanned last.
  int gLastDriveIndex = 0;
};

}  // namespace kvor
