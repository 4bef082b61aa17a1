#include "forms/centerform.h"

#include <QEvent>
#include <QGuiApplication>
#include <QScreen>
#include <QWidget>
#include <cmath>

namespace kvor::forms {

namespace {

const QString kFrameCentring = QStringLiteral("kvor-frame-centring");

void Place(QWidget& form) {
  QScreen* screen = form.screen();
  if (screen == nullptr) screen = QGuiApplication::primaryScreen();
  if (screen == nullptr) return;
  const QRect area = screen->geometry();
  const QPointF at = CenterPosition(area.size(), form.frameGeometry().size());
  // A window's position is that of its frame.
  form.move(area.x() + static_cast<int>(std::floor(at.x())),
            area.y() + static_cast<int>(std::floor(at.y())));
}

// Centres its window once more as soon as the window system has framed it (the frame comes
// after the show, with the window manager's reparenting), then goes.
class FrameCentring final : public QObject {
 public:
  explicit FrameCentring(QWidget& form) : QObject(&form), form_(form) {
    setObjectName(kFrameCentring);
    form.installEventFilter(this);
  }
  bool eventFilter(QObject*, QEvent* event) override {
    const QEvent::Type type = event->type();
    if (type != QEvent::Show && type != QEvent::Move && type != QEvent::Resize) return false;
    if (form_.isVisible() && form_.frameGeometry().size() != form_.size()) {
      form_.removeEventFilter(this);
      Place(form_);
      deleteLater();
    }
    return false;
  }

 private:
  QWidget& form_;
};

}  // namespace

QPointF CenterPosition(const QSizeF& screen, const QSizeF& window) {
  return {screen.width() / 2 - window.width() / 2, screen.height() / 2 - window.height() / 2};
}

void CenterForm(QWidget& form) {
  Place(form);
  if (!form.isVisible() && form.findChild<QObject*>(kFrameCentring, Qt::FindDirectChildrenOnly) == nullptr)
    new FrameCentring(form);
}

}  // namespace kvor::forms
