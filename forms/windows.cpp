#include "forms/windows.h"

#include <QApplication>
#include <QMessageBox>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>

namespace kvor::forms {

namespace {

Button ShowMessageBox(const Message& message) {
  const bool question = message.kind == Message::Kind::Question;
  QMessageBox box(QApplication::activeWindow());
  box.setWindowTitle(message.title);
  // No minimise or maximise; a question has no close box either (Yes or No it is).
  Qt::WindowFlags flags = Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint;
  if (!question) flags |= Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint;
  box.setWindowFlags(flags);
  // Texts carry Windows line breaks.
  box.setText(QString(message.text).replace(QStringLiteral("\r\n"), QStringLiteral("\n")));
  box.setIcon(question ? QMessageBox::Question : QMessageBox::Information);
  if (!question) {
    box.setStandardButtons(QMessageBox::Ok);
    box.exec();
    return Button::Ok;
  }
  box.setStandardButtons(QMessageBox::Yes | QMessageBox::No);
  box.setDefaultButton(QMessageBox::Yes);
  return box.exec() == QMessageBox::Yes ? Button::Yes : Button::No;
}

[[noreturn]] void EndAtOnce() {
  // No handler, destructor or event runs any more; the program writes no files to flush
  // beyond its standard streams.
  std::fflush(nullptr);
  std::_Exit(0);
}

}  // namespace

Windows::Windows() : answer(ShowMessageBox), endProgram(EndAtOnce) {}

Windows::~Windows() {
  for (auto slot = slots_.rbegin(); slot != slots_.rend(); ++slot) Unload(*slot);
  for (const QPointer<QWidget>& form : unloaded_) delete form.data();
}

Windows::Slot& Windows::SlotOf(const std::type_info& type) {
  return const_cast<Slot&>(std::as_const(*this).SlotOf(type));
}

const Windows::Slot& Windows::SlotOf(const std::type_info& type) const {
  for (const Slot& slot : slots_)
    if (slot.type == type) return slot;
  throw std::logic_error(std::string("window not registered: ") + type.name());
}

QWidget* Windows::Load(Slot& slot) {
  if (slot.form == nullptr) {
    // Known before its load step runs, which may refer to the window itself.
    slot.form = slot.make();
    slot.load(slot.form);
  }
  return slot.form;
}

void Windows::Unload(Slot& slot) {
  QWidget* form = slot.form;
  if (form == nullptr) return;
  slot.form = nullptr;
  form->hide();
  form->deleteLater();
  std::erase_if(unloaded_, [](const QPointer<QWidget>& gone) { return gone.isNull(); });
  unloaded_.emplace_back(form);
}

QWidget* Windows::MainWindow() const { return slots_.empty() ? nullptr : slots_.front().form; }

void Windows::ShowMainWindow() {
  if (!slots_.empty()) Load(slots_.front())->show();
}

void Windows::Inform(const QString& text, const QString& title) {
  const Message message{Message::Kind::Information, text, title};
  answer ? answer(message) : ShowMessageBox(message);
}

Button Windows::Ask(const QString& text, const QString& title) {
  const Message message{Message::Kind::Question, text, title};
  return answer ? answer(message) : ShowMessageBox(message);
}

void Windows::End() {
  if (endProgram)
    endProgram();
  else
    EndAtOnce();
}

}  // namespace kvor::forms
