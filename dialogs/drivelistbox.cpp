#include "dialogs/drivelistbox.h"

#include <QAbstractItemView>
#include <QByteArray>
#include <QSignalBlocker>
#include <QStyleOptionComboBox>
#include <QStylePainter>

#include <algorithm>

#include "engine/escape.h"
#include "platform/mounts.h"

namespace kvor {

namespace {
// Item data holds the root as raw bytes: a mount point need not be valid UTF-8.
QByteArray RootBytes(const std::string& root) { return QByteArray(root.data(), qsizetype(root.size())); }
}  // namespace

DriveListBox::DriveListBox(const platform::System& system, QWidget* parent)
    : QComboBox(parent), system_(system) {
  setSizeAdjustPolicy(QComboBox::AdjustToContentsOnFirstShow);
  connect(this, &QComboBox::currentIndexChanged, this, &DriveListBox::Change);
  Reload();
}

void DriveListBox::Reload(const QByteArray& fallback) {
  const QByteArray kept = currentData().toByteArray();
  const QSignalBlocker quiet(this);
  clear();
  drives_ = platform::MountTable::Read(system_).Drives();
  for (const platform::Drive& drive : drives_)
    // A name that is not UTF-8 is shown by its bytes, as the report writes it: two such names
    // never look alike.
    addItem(QString::fromStdString(Escape(platform::DriveText(drive, system_))), RootBytes(drive.root));
  int again = kept.isEmpty() ? -1 : findData(kept);
  if (again < 0 && !fallback.isEmpty()) again = findData(fallback);
  setCurrentIndex(again >= 0 ? again : (count() > 0 ? 0 : -1));

  // The open list is as wide as its longest entry.
  int widest = 0;
  for (int i = 0; i < count(); ++i) widest = std::max(widest, fontMetrics().horizontalAdvance(itemText(i)));
  view()->setMinimumWidth(widest + 4 * fontMetrics().averageCharWidth());
}

void DriveListBox::paintEvent(QPaintEvent*) {
  QStylePainter painter(this);
  QStyleOptionComboBox option;
  initStyleOption(&option);
  painter.drawComplexControl(QStyle::CC_ComboBox, option);
  const QRect field =
      style()->subControlRect(QStyle::CC_ComboBox, &option, QStyle::SC_ComboBoxEditField, this);
  option.currentText = fontMetrics().elidedText(option.currentText, Qt::ElideMiddle, field.width());
  painter.drawControl(QStyle::CE_ComboBoxLabel, option);
}

QString DriveListBox::Drive() const { return currentText(); }

platform::Drive DriveListBox::SelectedDrive() const {
  const int index = currentIndex();
  return index >= 0 && index < int(drives_.size()) ? drives_[std::size_t(index)] : platform::Drive{};
}

void DriveListBox::SetDrive(const std::string& path) {
  const int index = findData(RootBytes(platform::MountTable::Read(system_).MountPointOf(path)));
  if (index >= 0) SetListIndex(index);
}

}  // namespace kvor
