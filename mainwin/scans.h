#pragma once
// The scans as the main window sees them. A scan started on a drive reports the drive's figures,
// then its end; the result of a complete one is taken from it. The program's composition runs
// them, off the user-interface thread.
#include <QObject>

#include "engine/scanresult.h"
#include "platform/mounts.h"

namespace kvor {

class Scans : public QObject {
  Q_OBJECT
 public:
  using RunId = quint64;
  using QObject::QObject;

  // Starts a scan of `drive`: its figures, its root reached and read afresh, then the walk. A
  // scan still running is cancelled first. Returns the new scan's id.
  virtual RunId Start(platform::Drive drive) = 0;
  // The result of the scan that ended last with `ended(id, true)`, handed over once.
  virtual ScanResult TakeResult() = 0;
  // Hands back to the system what the scans no longer hold (the old tree, the walk's working
  // memory), once they are let go: else every Refresh adds to what the program holds.
  virtual void GiveBackMemory() = 0;

 signals:
  // The drive's figures, queried before the walk.
  void driveQueried(kvor::Scans::RunId id, const kvor::ScanFigures& figures);
  // Once per scan: `complete` when it ran to its end (or ran out of memory, as its result
  // says), false when cancelled.
  void ended(kvor::Scans::RunId id, bool complete);
};

}  // namespace kvor
