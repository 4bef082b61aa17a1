#include "mainwin/app.h"

#include <QApplication>
#include <QMessageBox>
#include <QPointer>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <vector>

#include "dialogs/frmabout.h"
#include "dialogs/frmanalyzer.h"
#include "dialogs/frmdiskpick.h"
#include "dialogs/frmwait.h"
#include "mainwin/frmdisksumm.h"

namespace kvor {

namespace {

int ShowMessageBox(const QString& text, int style, const QString& title) {
  QMessageBox box(QApplication::activeWindow());
  box.setWindowTitle(title);
  // No minimise or maximise; a question has no close box either (Yes or No it is).
  Qt::WindowFlags flags = Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint;
  if ((style & 7) != vbYesNo) flags |= Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint;
  box.setWindowFlags(flags);
  // Texts carry Windows line breaks.
  box.setText(QString(text).replace(QStringLiteral("\r\n"), QStringLiteral("\n")));
  if (style & vbInformation)
    box.setIcon(QMessageBox::Information);
  else if (style & vbQuestion)
    box.setIcon(QMessageBox::Question);
  if ((style & 7) == vbYesNo) {
    box.setStandardButtons(QMessageBox::Yes | QMessageBox::No);
    box.setDefaultButton(QMessageBox::Yes);
    return box.exec() == QMessageBox::Yes ? vbYes : vbNo;
  }
  box.setStandardButtons(QMessageBox::Ok);
  box.exec();
  return vbOK;
}

[[noreturn]] void EndAtOnce() {
  // No handler, destructor or event runs any more; the program writes no files to flush
  // beyond its standard streams.
  std::fflush(nullptr);
  std::_Exit(0);
}

// Windows unloaded but not yet deleted (deleteLater needs the event loop to come round),
// by the program they belong to.
std::vector<QPointer<QWidget>>& Unloaded(const App* app) {
  static std::map<const App*, std::vector<QPointer<QWidget>>> unloaded;
  return unloaded[app];
}

}  // namespace

App::App(const platform::System& system)
    : system(system), messageBox(ShowMessageBox), endProgram(EndAtOnce) {}

App::~App() {
  // The main window last: the dialogs refer to it while they go.
  Unload<frmAbout>();
  Unload<frmAnalyzer>();
  Unload<frmWait>();
  Unload<frmDiskPick>();
  Unload<frmDiskSumm>();
  auto& unloaded = Unloaded(this);
  for (auto& form : unloaded) delete form.data();
  unloaded.clear();
}

QWidget* App::MainWindow() { return Loaded<frmDiskSumm>() ? &Form<frmDiskSumm>() : nullptr; }

void App::ShowMainWindow() { Form<frmDiskSumm>().show(); }

int App::MsgBox(const QString& text, int style, const QString& title) {
  return messageBox ? messageBox(text, style, title) : ShowMessageBox(text, style, title);
}

void App::End() {
  if (endProgram)
    endProgram();
  else
    EndAtOnce();
}

template <class F>
void App::DisposeForm(F* form) {
  form->hide();
  form->deleteLater();
  auto& unloaded = Unloaded(this);
  std::erase_if(unloaded, [](const QPointer<QWidget>& gone) { return gone.isNull(); });
  unloaded.emplace_back(form);
}

template void App::DisposeForm<frmDiskSumm>(frmDiskSumm*);
template void App::DisposeForm<frmDiskPick>(frmDiskPick*);
template void App::DisposeForm<frmWait>(frmWait*);
template void App::DisposeForm<frmAnalyzer>(frmAnalyzer*);
template void App::DisposeForm<frmAbout>(frmAbout*);

}  // namespace kvor
