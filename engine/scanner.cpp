#include "engine/scanner.h"

#include <cerrno>
#include <charconv>
#include <cstdint>
#include <new>

#include "engine/diskspace.h"
#include "engine/formatsize.h"
#include "platform/pathrules.h"

namespace kvor {

namespace {

std::string NodeKey(int64_t counter, std::string_view path) {
  std::string key = std::to_string(counter);
  key.push_back('?');
  key.append(path);
  return key;
}

std::string Decimal(platform::Int128 value) {
  const bool negative = value < 0;
  // Digits from the unsigned magnitude, so the most negative value needs no special case.
  __extension__ unsigned __int128 magnitude = negative ? -static_cast<unsigned __int128>(value)
                                                        : static_cast<unsigned __int128>(value);
  char buf[48];
  char* p = buf + sizeof buf;
  do {
    *--p = static_cast<char>('0' + static_cast<int>(magnitude % 10));
    magnitude /= 10;
  } while (magnitude != 0);
  if (negative) *--p = '-';
  return std::string(p, buf + sizeof buf);
}

std::string ResultText(platform::Int128 bytes, platform::Int128 lostSpace) {
  std::string text = Decimal(bytes);
  text.push_back(',');
  text.append(Decimal(lostSpace));
  return text;
}

double AsDouble(platform::Int128 value) { return static_cast<double>(value); }

}  // namespace

Scanner::Scanner(ScanState& state, const platform::System& system, TreeView& tvDisk,
                 ScanProgress& progress)
    : dirList(system),
      fileList(dirList),
      s_(state),
      system_(system),
      tvDisk_(tvDisk),
      progress_(progress) {
  dirList.OnChange([this] { dirList_Change(); });
  dirList.SetCancelFlag(&s_.gAbort);
  dirList.SetClusterSize(&s_.gClusterSize);
}

void Scanner::dirList_Change() {
  s_.gDirBytes = 0;
  s_.gDirLostSpace = 0;
  dirBytes_ = 0;
  dirLost_ = 0;

  if (s_.gGoToRoot) {
    const std::string root = dirList.DriveRoot();
    if (dirList.Path() != root) dirList.SetPath(root);  // reads the root, running this handler nested
    s_.gGoToRoot = false;
  }

  fileList.SetPath(dirList.Path());
  lstHidden.Clear();

  // The sums come from the one read of the directory; a return to it reuses them. A read
  // summed for another cluster size is read again.
  std::shared_ptr<const platform::DirSummary> summary = dirList.CurrentShared();
  if (summary != nullptr && summary->clusterSize != s_.gClusterSize && dirList.Refresh())
    summary = dirList.CurrentShared();
  if (summary != nullptr) SetFigures(summary->bytes, summary->lostSpace);
  lstHidden.Show(std::move(summary));

  ShowDiskInfo(0);
}

void Scanner::SetFigures(Int128 bytes, Int128 lost) {
  dirBytes_ = bytes;
  dirLost_ = lost;
  s_.gDirBytes = Saturate(bytes);
  s_.gDirLostSpace = Saturate(lost);
}

void Scanner::ShowDiskInfo(int mode, std::string_view driveRoot, DiskInfoPanel* panel) {
  if (mode == 1) {
    const std::string root(driveRoot);
    if (root == dirList.RootPath()) {
      // The list stands on that drive: asked through the root it opened, not the path again.
      QueryRoot(panel);
    } else {
      s_.gFreeBytes = GetDiskSpace(s_, system_, root, "FREE");
      s_.gUsedBytes = GetDiskSpace(s_, system_, root, "USED");
      s_.gTotalBytes = GetDiskSpace(s_, system_, root, "TOTAL");
      WriteDrive(panel);
    }
  }
  s_.gFileCount = static_cast<int64_t>(fileList.ListCount());
  s_.gSubdirCount = static_cast<int64_t>(dirList.ListCount());
  s_.gHiddenCount = static_cast<int64_t>(lstHidden.ListCount());
}

bool Scanner::QueryRoot(DiskInfoPanel* panel) {
  platform::DiskFreeSpace figures;
  const int fd = dirList.RootDescriptor();
  if (fd < 0) errno = EBADF;
  const bool ok = fd >= 0 && system_.GetDiskFreeSpaceOf(fd, figures);
  if (!ok) figures = {};
  s_.gFreeBytes = DiskFigure(s_, figures, "FREE");
  s_.gUsedBytes = DiskFigure(s_, figures, "USED");
  s_.gTotalBytes = DiskFigure(s_, figures, "TOTAL");
  WriteDrive(panel);
  return ok;
}

Scanner::Reach Scanner::ReachDrive(const std::string& root, DiskInfoPanel* panel) {
  dirList.SetDriveRoot(root);
  s_.gGoToRoot = true;
  s_.gNodeCounter = 0;
  if (!dirList.OpenRoot(root)) {
    errno = dirList.LastError();
    return Reach::NotOpened;
  }
  if (!QueryRoot(panel)) return Reach::NotQueried;
  dirList_Change();  // the root read before its drive's cluster size was known
  return Reach::Reached;
}

void Scanner::WriteDrive(DiskInfoPanel* panel) const {
  if (panel == nullptr) return;
  panel->SetUsed(FormatSize(static_cast<double>(s_.gUsedBytes)));
  panel->SetFree(FormatSize(static_cast<double>(s_.gFreeBytes)));
  panel->SetTotal(FormatSize(static_cast<double>(s_.gTotalBytes)));
}

std::string Scanner::DirectoryText(std::string_view name, Int128 bytes, Int128 lost,
                                   TextForm form) const {
  std::string text(name);
  if (form == TextForm::Ordinary) {
    text.append("     ").append(std::to_string(s_.gFileCount)).append(" file(s), [");
  } else {
    text.append("    ").append(std::to_string(s_.gFileCount)).append(" files(s) [");
  }
  text.append(FormatSize(AsDouble(bytes), decimalSeparator_))
      .append("], Lost space [")
      .append(FormatSize(AsDouble(lost), decimalSeparator_))
      .append("]");
  return text;
}

void Scanner::ScanDrive() {
  decimalSeparator_ = DecimalSeparator();
  tvDisk_.Clear();
  frames_.clear();
  const Int128 rootBytes = dirBytes_;
  const std::string rootPath = dirList.List(-1);
  const int64_t rootCounter = s_.gNodeCounter;
  const std::string rootKey = NodeKey(rootCounter, rootPath);
  ++s_.gNodeCounter;
  progress_.ShowCurrentDir(rootPath);
  const TreeView::Node root = tvDisk_.Add({}, 0, rootKey, "Root", "closed", "open");
  // A root that could not be opened is said, never shown as an empty drive.
  const bool opened = dirList.Depth() > 0;
  uint8_t rootProblems = opened ? dirList.Current().problems : uint8_t{platform::kCannotEnter};
  const int rootError = opened ? dirList.Current().error : dirList.LastError();
  if (rootProblems != 0) tvDisk_.SetProblem(root, rootProblems, rootError);

  s_.gTotalFiles = s_.gFileCount;
  totalFileBytes_ = rootBytes;
  s_.gTotalFileBytes = Saturate(rootBytes);
  s_.gTotalDirs = s_.gSubdirCount + s_.gHiddenCount;
  if (s_.gSubdirCount == 0 && s_.gHiddenCount == 0) return;

  // Readers read ahead of the walk for as long as it runs, however it ends.
  struct ReadingAhead {
    platform::DirListBox& list;
    ~ReadingAhead() { list.StopReadAhead(); }
  } readingAhead{dirList};
  dirList.StartReadAhead();

  Int128 subtreeBytes = 0;
  for (const bool hidden : {false, true}) {
    const int64_t bound = hidden ? s_.gHiddenCount : s_.gSubdirCount;
    for (int64_t i = 0; i <= bound; ++i) {
      // The count as re-read after each child, never a stale one, ends the loop.
      if (i >= (hidden ? s_.gHiddenCount : s_.gSubdirCount)) break;
      walkPath_ = rootPath;
      const std::optional<Sums> result = Walk(static_cast<size_t>(i), root, rootCounter, hidden);
      if (s_.gAbort || !result) return;
      subtreeBytes += result->bytes;
    }
  }
  totalFileBytes_ += subtreeBytes;
  s_.gTotalFileBytes = Saturate(totalFileBytes_);
  if (s_.gTotalFileBytes != totalFileBytes_) {
    // The total the report prints stopped at its largest value: say where.
    rootProblems |= platform::kSumTooLarge;
    tvDisk_.SetProblem(root, rootProblems, rootProblems == platform::kSumTooLarge ? EOVERFLOW : rootError);
  }

  // The root shows the drive's own used figure; its lost space is what files and
  // directories (one cluster each) leave unexplained.
  const Int128 lost = Int128{s_.gUsedBytes} - (Int128{s_.gClusterSize} * s_.gTotalDirs + totalFileBytes_);
  std::string text = rootPath;
  text.append(" ")
      .append(std::to_string(s_.gFileCount))
      .append(" file(s) [")
      .append(FormatSize(static_cast<double>(s_.gUsedBytes), decimalSeparator_))
      .append("], Lost space [")
      .append(FormatSize(AsDouble(lost), decimalSeparator_))
      .append("]");
  tvDisk_.SetText(root, text);
  tvDisk_.SetExpanded(root, true);
}

std::string Scanner::ScanDirectory(size_t index, const std::string& parentKey, bool hidden) {
  decimalSeparator_ = DecimalSeparator();
  walkPath_ = dirList.Path();
  int64_t parentCounter = 0;
  std::from_chars(parentKey.data(), parentKey.data() + parentKey.size(), parentCounter);
  const std::optional<Sums> result = Walk(index, tvDisk_.Find(parentKey), parentCounter, hidden);
  if (!result) return {};
  // A directory on another drive nets to nothing once the caller adds its one cluster.
  if (!result->counted) return ResultText(0, -Int128{s_.gClusterSize});
  return ResultText(result->bytes, result->lost);
}

// The walk of one subdirectory and everything below it, as the recursive definition has it,
// with the recursion kept in frames_: a chain as deep as memory allows costs no call stack.
std::optional<Scanner::Sums> Scanner::Walk(size_t index, TreeView::Node parent, int64_t parentCounter,
                                           bool hidden) {
  const std::size_t base = frames_.size();
  Step step = Begin(index, hidden, parent, parentCounter);
  for (;;) {
    if (step == Step::Stopped) {
      frames_.resize(base);
      return std::nullopt;
    }
    if (step == Step::Done) {
      if (frames_.size() == base) return last_;
      // A child has returned to the directory on top.
      if (s_.gAbort) {
        frames_.resize(base);
        return std::nullopt;
      }
      Frame& f = frames_.back();
      if (last_.counted) {
        // The text after this child is the one the next child's replaces: it is composed
        // once, when the last child is done.
        f.bytes += last_.bytes;
        f.lost += last_.lost + s_.gClusterSize;
        f.form = f.phase == 1 ? TextForm::HiddenChild : TextForm::Ordinary;
        f.retext = true;
      }
      ++f.i;
    }
    step = Next();
  }
}

// Enters the index-th ordinary or hidden subdirectory of the current directory and adds its
// node: Pushed when it is to be walked, Done when it is finished already (it could not be
// entered, or lies on another drive), Stopped on a stop.
Scanner::Step Scanner::Begin(size_t index, bool hidden, TreeView::Node parent, int64_t parentCounter) {
  if (s_.gAbort) return Step::Stopped;

  const std::size_t parentLength = walkPath_.size();
  if (walkPath_.empty() || walkPath_.back() != platform::kSeparator) walkPath_.push_back(platform::kSeparator);
  const std::size_t nameStart = walkPath_.size();
  walkPath_.append(hidden ? lstHidden.List(index) : dirList.ListName(index));
  const int64_t counter = s_.gNodeCounter;
  ++s_.gNodeCounter;
  progress_.ShowCurrentDir(walkPath_);
  const std::string_view image = hidden ? "hclosed" : "closed";
  const std::string_view selectedImage = hidden ? "hopen" : "open";

  progress_.DoEvents();
  if (s_.gAbort) return Step::Stopped;

  const std::string_view name = std::string_view(walkPath_).substr(nameStart);
  const TreeView::ChildKey key{parentCounter, parentLength, counter, walkPath_, name};
  switch (dirList.EnterChild(name, hidden ? dirList.ListCount() + index : index)) {
    case platform::DirListBox::Move::OtherDevice:
      // Left out as a mount point is: no node, no count, no cluster.
      --s_.gNodeCounter;
      --s_.gTotalDirs;
      walkPath_.resize(parentLength);
      last_ = Sums{0, 0, false};
      return Step::Done;
    case platform::DirListBox::Move::Failed:
      if (s_.gAbort) return Step::Stopped;  // the read was cut short by a stop
      return NotEntered(parent, key, image, selectedImage, dirList.LastError());
    case platform::DirListBox::Move::Entered:
      break;
  }

  const Int128 bytes = dirBytes_;
  const Int128 lost = dirLost_ + s_.gClusterSize;
  TreeView::Node node;
  try {
    node = tvDisk_.AddChild(parent, key, DirectoryText(name, bytes, lost, TextForm::Ordinary), image,
                            selectedImage);
    if (frames_.size() == frames_.capacity()) frames_.reserve(2 * frames_.size() + 16);
  } catch (const std::bad_alloc&) {
    // No memory for one more level: back to the parent, which shows this one as not entered.
    dirList.Up();
    return NotEntered(parent, key, image, selectedImage, ENOMEM);
  }
  s_.gTotalFiles += s_.gFileCount;
  const platform::DirSummary& listing = dirList.Current();
  uint8_t problems = listing.problems;
  if (s_.gDirBytes != dirBytes_ || s_.gDirLostSpace != dirLost_) problems |= platform::kSumTooLarge;
  if (problems != 0)
    tvDisk_.SetProblem(node, problems, listing.problems != 0 ? listing.error : EOVERFLOW);
  s_.gTotalDirs += s_.gSubdirCount + s_.gHiddenCount;
  frames_.push_back(Frame{node, counter, parentLength, nameStart, bytes, lost});
  return Step::Pushed;
}

// A directory that cannot be entered (no permission, gone, out of descriptors or memory): an
// empty directory of one cluster, marked with the reason; the list stays at the parent with
// its figures.
Scanner::Step Scanner::NotEntered(TreeView::Node parent, const TreeView::ChildKey& key,
                                  std::string_view image, std::string_view selectedImage, int error) {
  std::string text(key.name);
  text.append("     0 file(s), [")
      .append(FormatSize(0, decimalSeparator_))
      .append("], Lost space [")
      .append(FormatSize(static_cast<double>(s_.gClusterSize), decimalSeparator_))
      .append("]");
  const TreeView::Node node = tvDisk_.AddChild(parent, key, text, image, selectedImage);
  tvDisk_.SetProblem(node, platform::kCannotEnter, error);
  progress_.DoEvents();
  walkPath_.resize(key.parentLength);
  last_ = Sums{0, s_.gClusterSize, true};
  return Step::Done;
}

// The next child of the directory on top, or its return to the parent once all are done.
Scanner::Step Scanner::Next() {
  for (;;) {
    Frame& f = frames_.back();
    if (f.phase == 2) {
      // Its own figures are the scan state's again since its last child returned.
      if (f.retext) {
        const std::string_view name = std::string_view(walkPath_).substr(f.nameStart);
        tvDisk_.SetText(f.node, DirectoryText(name, f.bytes, f.lost, f.form));
      }
      dirList.Up();
      last_ = Sums{f.bytes, f.lost, true};
      walkPath_.resize(f.parentLength);
      frames_.pop_back();
      progress_.DoEvents();
      return Step::Done;
    }
    // The count as re-read after each child ends the loop; the bound taken at its start
    // only limits it.
    const int64_t count = f.phase == 0 ? s_.gSubdirCount : s_.gHiddenCount;
    if (!f.started) {
      f.started = true;
      f.bound = count;
      f.i = 0;
    }
    if (f.bound > 0 && f.i <= f.bound && f.i < count) {
      const std::size_t index = static_cast<std::size_t>(f.i);
      const bool hidden = f.phase == 1;
      const TreeView::Node node = f.node;
      const int64_t counter = f.counter;
      return Begin(index, hidden, node, counter);  // may grow frames_: f is not used after
    }
    ++f.phase;
    f.started = false;
  }
}

int64_t Saturate(platform::Int128 value) {
  if (value > INT64_MAX) return INT64_MAX;
  if (value < INT64_MIN) return INT64_MIN;
  return static_cast<int64_t>(value);
}

std::string PathLeaf(std::string_view path) {
  const auto pos = path.rfind(platform::kSeparator);
  return std::string(pos == std::string_view::npos ? path : path.substr(pos + 1));
}

std::string PathParent(std::string_view path) {
  const auto pos = path.rfind(platform::kSeparator);
  return std::string(pos == std::string_view::npos ? std::string_view{} : path.substr(0, pos));
}

int64_t PairField(std::string_view text, uint8_t selector) {
  const auto comma = text.find(',');
  const std::string_view field =
      selector == 1 ? text.substr(0, comma)
                    : (comma == std::string_view::npos ? std::string_view{} : text.substr(comma + 1));
  int64_t value = 0;
  std::from_chars(field.data(), field.data() + field.size(), value);
  return value;
}

}  // namespace kvor
