#pragma once
// The program's windows: each exists once; it is created the first time it is referred to (its
// Form_Load runs then) and destroyed by Unload, after which the next reference creates it anew.
// Who builds each window is registered by the program's composition, so a window needs the
// header of another only to refer to it by type; the main window and the dialogs reach each
// other through the composition instead. Also the message boxes every window asks with, and the
// program's end.
#include <QPointer>
#include <QString>
#include <QWidget>
#include <functional>
#include <typeindex>
#include <vector>

namespace kvor::forms {

// The buttons of a message box.
enum class Button { Ok, Yes, No };

// A message box as the user meets it: an information (OK alone) or a question (Yes and No,
// Yes the default).
struct Message {
  enum class Kind { Information, Question };
  Kind kind = Kind::Information;
  QString text;
  QString title;
  bool operator==(const Message&) const = default;
};

class Windows {
 public:
  Windows();
  ~Windows();  // unloads every window, the main window last
  Windows(const Windows&) = delete;
  Windows& operator=(const Windows&) = delete;

  // How to build window F (its constructor; Form_Load runs after). The main window is
  // registered first.
  template <class F>
  void Register(std::function<F*()> make) {
    slots_.push_back({std::type_index(typeid(F)), [make = std::move(make)]() -> QWidget* { return make(); },
                      [](QWidget* form) { static_cast<F*>(form)->Form_Load(); }, nullptr});
  }

  // The window, created and loaded on first reference.
  template <class F>
  F& Form() {
    return *static_cast<F*>(Load(SlotOf(typeid(F))));
  }
  template <class F>
  bool Loaded() const {
    return SlotOf(typeid(F)).form != nullptr;
  }
  // Destroys the window (deferred, so a window may unload itself from its own handler).
  template <class F>
  void Unload() {
    Unload(SlotOf(typeid(F)));
  }

  // The main window if loaded, else none; and showing it, which loads it if need be.
  QWidget* MainWindow() const;
  void ShowMainWindow();

  // An information with OK; a question with Yes and No: the button pressed. Tests answer
  // through `answer` in place of the user.
  void Inform(const QString& text, const QString& title);
  Button Ask(const QString& text, const QString& title);
  std::function<Button(const Message&)> answer;

  // Ends the program at once: no further handler runs. Tests replace `endProgram`.
  void End();
  std::function<void()> endProgram;

 private:
  struct Slot {
    std::type_index type;
    std::function<QWidget*()> make;
    std::function<void(QWidget*)> load;
    QWidget* form;
  };
  Slot& SlotOf(const std::type_info& type);
  const Slot& SlotOf(const std::type_info& type) const;
  QWidget* Load(Slot& slot);
  void Unload(Slot& slot);

  std::vector<Slot> slots_;
  // Windows unloaded but not yet deleted (deleteLater needs the event loop to come round).
  std::vector<QPointer<QWidget>> unloaded_;
};

}  // namespace kvor::forms
