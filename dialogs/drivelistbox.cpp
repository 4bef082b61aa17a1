#include "dialogs/drivelistbox.h"

#include <QAbstractItemView>
#include <QByteArray>
#include <QSignalBlocker>
#include <QStyleOptionComboBox>
#include <QStylePainter>

#include <algorithm>

#include "platform/mounts.h"
#include "platform/pathrules.h"

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
  const auto table = platform::MountTable::Read(system_);
  for (const platform::MountEntry* entry : table.Drives())
    addItem(QString::fromStdString(platform::DriveText(*entry, system_)), RootBytes(entry->mountPoint));
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

std::string DriveListBox::Root() const { return currentData().toByteArray().toStdString(); }

void DriveListBox::SetDrive(const QString& path) {
  int index = findText(path, Qt::MatchExactly | Qt::MatchCaseSensitive);
  if (index < 0) {
    const auto table = platform::MountTable::Read(system_);
    const std::string raw = path.toStdString();
    index = findData(RootBytes(table.MountPointOf(raw)));
    if (index < 0) index = findData(RootBytes(table.MountPointOf(platform::DriveRootFromText(raw))));
  }
  if (index >= 0) SetListIndex(index);
}

}  // namespace kvor
