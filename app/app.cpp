#include "app/app.h"

#include "dialogs/frmabout.h"
#include "dialogs/frmanalyzer.h"
#include "dialogs/frmdiskpick.h"
#include "dialogs/frmwait.h"
#include "mainwin/frmdisksumm.h"

namespace kvor {

App::App(const platform::System& system) : system(system) {
  windows.Register<frmDiskSumm>([this] { return new frmDiskSumm(windows, state, figures, scans, *this); });
  windows.Register<frmDiskPick>([this] { return new frmDiskPick(windows, state, this->system); });
  windows.Register<frmWait>([this] {
    auto* wait = new frmWait(windows, state);
    QObject::connect(&scans, &ScanController::currentDir, wait, &frmWait::SetCurrentDir);
    QObject::connect(&scans, &ScanController::progressed, wait, &frmWait::SetProgress);
    QObject::connect(wait, &frmWait::aborted, &scans, &ScanController::Cancel);
    return wait;
  });
  windows.Register<frmAnalyzer>([this] { return new frmAnalyzer(windows, figures); });
  windows.Register<frmAbout>([this] { return new frmAbout(windows); });
}

App::~App() = default;

std::optional<platform::Drive> App::ChooseDrive() { return Form<frmDiskPick>().Choose(); }

platform::Drive App::SelectedDrive() { return Form<frmDiskPick>().driveList->SelectedDrive(); }

std::optional<platform::Drive> App::MountedDrive() { return Form<frmDiskPick>().MountedDrive(); }

void App::DriveScanned() { state.gLastDriveIndex = Form<frmDiskPick>().driveList->ListIndex(); }

void App::UnloadDriveDialog() { Unload<frmDiskPick>(); }

void App::ShowProgress(bool busy) {
  frmWait& wait = Form<frmWait>();
  wait.show();
  if (busy) wait.setCursor(Qt::BusyCursor);
  wait.repaint();
}

void App::EndProgress() {
  if (Loaded<frmWait>()) Form<frmWait>().unsetCursor();
  Unload<frmWait>();
}

void App::ShowAnalysis() { Form<frmAnalyzer>().exec(); }

void App::ShowAbout() {
  frmAbout& about = Form<frmAbout>();
  about.show();
  about.raise();
  about.activateWindow();
}

}  // namespace kvor
