#pragma once
// The running program: the one scan state, the system it runs on, and its five windows.
// Each window exists once; it is created the first time it is referred to (its Form_Load
// runs then) and destroyed by Unload, after which the next reference creates it anew.
#include <QString>
#include <functional>
#include <tuple>

#include "engine/scanresult.h"
#include "forms/scanstate.h"
#include "mainwin/scancontroller.h"
#include "platform/system.h"

class QWidget;

namespace kvor {

class frmDiskSumm;
class frmDiskPick;
class frmWait;
class frmAnalyzer;
class frmAbout;

// Message box styles and answers, as the windows ask for them.
inline constexpr int vbOKOnly = 0;
inline constexpr int vbYesNo = 4;
inline constexpr int vbQuestion = 32;
inline constexpr int vbInformation = 64;
inline constexpr int vbOK = 1;
inline constexpr int vbYes = 6;
inline constexpr int vbNo = 7;

class App {
 public:
  explicit App(const platform::System& system);
  ~App();
  App(const App&) = delete;
  App& operator=(const App&) = delete;

  ScanState state;
  // The figures of the last scan that ran to its end: the analysis reports them.
  ScanFigures figures;
  const platform::System& system;
  // The scan's worker; the windows start, cancel and follow scans through it.
  ScanController scans{system};

  // The main window, if loaded; and showing it, which loads it if need be.
  QWidget* MainWindow();
  void ShowMainWindow();

  // The window, created and loaded on first reference.
  template <class F>
  F& Form() {
    F*& form = std::get<F*>(forms_);
    if (form == nullptr) {
      form = new F(*this);
      form->Form_Load();
    }
    return *form;
  }
  template <class F>
  bool Loaded() const { return std::get<F*>(forms_) != nullptr; }
  // Destroys the window (deferred, so a window may unload itself from its own handler).
  template <class F>
  void Unload() {
    F*& form = std::get<F*>(forms_);
    if (form == nullptr) return;
    F* gone = form;
    form = nullptr;
    DisposeForm(gone);
  }

  // A message box: `style` as vbInformation or vbYesNo + vbQuestion; returns vbOK, vbYes
  // or vbNo. Tests answer through `messageBox`.
  int MsgBox(const QString& text, int style, const QString& title);
  std::function<int(const QString& text, int style, const QString& title)> messageBox;

  // Ends the program at once: no further handler runs. Tests replace `endProgram`.
  void End();
  std::function<void()> endProgram;

 private:
  template <class F>
  void DisposeForm(F* form);

  std::tuple<frmDiskSumm*, frmDiskPick*, frmWait*, frmAnalyzer*, frmAbout*> forms_{};
};

}  // namespace kvor
