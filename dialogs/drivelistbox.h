#pragma once
// The machine's drives in a drop-down list. Setting the selection from code raises
// `Change` synchronously, before the setter returns, as choosing with the mouse does.
#include <QByteArray>
#include <QComboBox>
#include <QString>
#include <string>
#include <vector>

#include "platform/mounts.h"
#include "platform/system.h"

namespace kvor {

class DriveListBox : public QComboBox {
  Q_OBJECT
 public:
  DriveListBox(const platform::System& system, QWidget* parent = nullptr);

  // Fills the list from the system's mount table ("/ [vda]", ...). Keeps the selected drive
  // if it is still there, else selects the one whose root is `fallback`, else the first;
  // raises no Change.
  void Reload(const QByteArray& fallback = {});

  // The text of the selected entry.
  QString Drive() const;
  // The selected drive; none (an empty root) when the list is empty.
  platform::Drive SelectedDrive() const;
  // The root path of the selected entry, byte for byte as the mount table names it.
  std::string Root() const { return SelectedDrive().root; }
  // Selects the drive that holds the folder `path`; a path on no listed drive leaves the
  // selection as it is.
  void SetDrive(const std::string& path);

  int ListIndex() const { return currentIndex(); }
  void SetListIndex(int index) { setCurrentIndex(index); }

 signals:
  void Change();

 protected:
  // Mount points can be long: the closed list shortens the entry in the middle, so the root
  // and its label both show.
  void paintEvent(QPaintEvent* event) override;

 private:
  const platform::System& system_;
  std::vector<platform::Drive> drives_;  // in the list's order
};

}  // namespace kvor
