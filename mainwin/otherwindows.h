#pragma once
// The other windows, as the main window asks for them. The program's composition answers with
// the dialogs; the main window knows none of them.
#include <optional>

#include "platform/mounts.h"

namespace kvor {

class OtherWindows {
 public:
  virtual ~OtherWindows() = default;

  // The drive dialog, shown modally: the drive to scan, chosen with OK; none on Cancel, or when
  // OK leaves the drive scanned last.
  virtual std::optional<platform::Drive> ChooseDrive() = 0;
  // The drive selected in the drive dialog now. The first use loads the dialog, which selects
  // the drive of the program's own folder.
  virtual platform::Drive SelectedDrive() = 0;
  // The same drive for a rescan, when it is still the mount that was chosen; none when it is
  // gone (unmounted, or another mounted in its place), of which the user has been told.
  virtual std::optional<platform::Drive> MountedDrive() = 0;
  // The drive selected in the drive dialog is the drive scanned last from now on.
  virtual void DriveScanned() = 0;
  virtual void UnloadDriveDialog() = 0;

  // The progress dialog, shown and painted at once (`busy`: with the busy pointer), and its
  // unload after the scan.
  virtual void ShowProgress(bool busy) = 0;
  virtual void EndProgress() = 0;

  virtual void ShowAnalysis() = 0;  // modal
  virtual void ShowAbout() = 0;     // modeless; brought to the front when open already
};

}  // namespace kvor
