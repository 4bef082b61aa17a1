#pragma once
// The scans as the main window sees them. A scan started on a drive reports the drive's figures,
// then its end; the tree of a complete one is taken from it. The program's composition runs
// them, off the user-interface thread.
#include <QObject>
#include <cstdint>
#include <string>

#include "platform/mounts.h"
#include "platform/nodestore.h"

namespace kvor {

// The Disk Information panel's texts and the drive figures of one query.
struct DriveFigures {
  int64_t freeBytes = 0, usedBytes = 0, totalBytes = 0, clusterSize = 0;
  std::string used, free, total;
};

class Scans : public QObject {
  Q_OBJECT
 public:
  using RunId = quint64;
  using QObject::QObject;

  // Starts a scan of `drive`: its figures, its root reached and read afresh, then the walk. A
  // scan still running is cancelled first. Returns the new scan's id.
  virtual RunId Start(platform::Drive drive) = 0;
  // The tree of the scan that ended last with `ended(id, true)`; swapped out, so the caller
  // owns it.
  virtual void TakeTree(platform::NodeStore& into) = 0;

 signals:
  // The drive's figures are in the scan state; `figures` holds the panel's texts.
  void driveQueried(kvor::Scans::RunId id, const kvor::DriveFigures& figures);
  // Once per scan: `complete` when it ran to its end, false when cancelled.
  void ended(kvor::Scans::RunId id, bool complete);
};

}  // namespace kvor
