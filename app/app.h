#pragma once
// The running program, and where its parts meet: the one scan state, the system it runs on,
// the scans, and the five windows, each built here with what it needs. The main window asks for
// the dialogs through OtherWindows, which this answers; the progress dialog's Cancel and its
// directory label are connected to the scans here.
#include <optional>

#include "engine/scanresult.h"
#include "forms/scanstate.h"
#include "forms/windows.h"
#include "mainwin/otherwindows.h"
#include "app/scancontroller.h"
#include "platform/mounts.h"
#include "platform/system.h"

namespace kvor {

class App final : public OtherWindows {
 public:
  explicit App(const platform::System& system);
  ~App() override;
  App(const App&) = delete;
  App& operator=(const App&) = delete;

  ScanState state;
  // The figures of the last scan that ran to its end: the analysis reports them.
  ScanFigures figures;
  const platform::System& system;
  // The scan's worker; the windows start, cancel and follow scans through it.
  ScanController scans{system};
  // Declared last, so the windows go first.
  forms::Windows windows;

  // The window, created and loaded on first reference; see forms::Windows.
  template <class F>
  F& Form() { return windows.Form<F>(); }
  template <class F>
  bool Loaded() const { return windows.Loaded<F>(); }
  template <class F>
  void Unload() { windows.Unload<F>(); }

  std::optional<platform::Drive> ChooseDrive() override;
  platform::Drive SelectedDrive() override;
  std::optional<platform::Drive> MountedDrive() override;
  void DriveScanned() override;
  void UnloadDriveDialog() override;
  void ShowProgress(bool busy) override;
  void EndProgress() override;
  void ShowAnalysis() override;
  void ShowAbout() override;
};

}  // namespace kvor
