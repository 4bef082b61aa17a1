#include "forms/controls.h"

#include <QKeyEvent>
#include <QPalette>
#include <QWindow>

#include "forms/twips.h"

namespace kvor::forms {

namespace {

class EnterFilter final : public QObject {
 public:
  explicit EnterFilter(QPushButton& button) : QObject(&button), button_(button) {
    button.installEventFilter(this);
  }
  bool eventFilter(QObject*, QEvent* event) override {
    if (event->type() != QEvent::KeyPress) return false;
    const auto* key = static_cast<QKeyEvent*>(event);
    if ((key->key() != Qt::Key_Return && key->key() != Qt::Key_Enter) ||
        (key->modifiers() & ~Qt::KeypadModifier) != Qt::NoModifier || key->isAutoRepeat())
      return false;
    button_.click();
    return true;
  }

 private:
  QPushButton& button_;
};

}  // namespace

void EnterPresses(QPushButton& button) { new EnterFilter(button); }

void MakeFixedDialog(QDialog& dialog, int widthTwips, int heightTwips, bool closeBox) {
  Qt::WindowFlags flags = Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint;
  if (closeBox) flags |= Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint;
  dialog.setWindowFlags(flags);
  dialog.setFixedSize(TwipSize(widthTwips, heightTwips));
  dialog.setSizeGripEnabled(false);
}

void AttachToMainWindow(QDialog& dialog, const QWidget* main) {
  // While the main window is hidden (a scan) or not yet shown (the first scan), the dialog
  // stands alone: a window manager may keep a dialog of an unmapped window off the screen.
  if (main == nullptr || !main->isVisible() || main->windowHandle() == nullptr) return;
  dialog.winId();
  if (QWindow* own = dialog.windowHandle(); own != nullptr) own->setTransientParent(main->windowHandle());
}

QLabel* MakeLabel(QWidget* parent, const QString& text, int left, int top, int width, int height) {
  auto* label = new QLabel(parent);
  label->setTextFormat(Qt::PlainText);
  label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  label->setGeometry(TwipRect(left, top, width, height));
  label->setText(text);
  return label;
}

void MakeValueBox(QLabel* label) {
  QPalette palette = label->palette();
  palette.setColor(QPalette::Window, Qt::white);
  palette.setColor(QPalette::WindowText, Qt::black);
  label->setPalette(palette);
  label->setAutoFillBackground(true);
  label->setFrameStyle(QFrame::Box | QFrame::Plain);
  label->setLineWidth(1);
  label->setMargin(1);
}

QPushButton* MakeButton(QWidget* parent, const QString& text, int left, int top, int width,
                        int height) {
  auto* button = new QPushButton(text, parent);
  button->setAutoDefault(false);
  button->setDefault(false);
  EnterPresses(*button);
  button->setGeometry(TwipRect(left, top, width, height));
  return button;
}

}  // namespace kvor::forms
