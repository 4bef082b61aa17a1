#include "engine/scanner.h"

#include <charconv>

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

std::string ResultText(int64_t bytes, int64_t lostSpace) {
  std::string text = std::to_string(bytes);
  text.push_back(',');
  text.append(std::to_string(lostSpace));
  return text;
}

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
}

void Scanner::dirList_Change() {
  s_.gDirBytes = 0;
  s_.gDirLostSpace = 0;

  if (s_.gGoToRoot) {
    const std::string root = dirList.DriveRoot();
    if (dirList.Path() != root)
      dirList.SetPath(root);  // reads the root, running this handler nested
    else if (!dirList.RaisingFreshRead())
      dirList.Refresh();      // a new scan: the root as it is now, not as kept from the last one
    s_.gGoToRoot = false;
  }

  fileList.SetPath(dirList.Path());
  lstHidden.Clear();

  // The sums come from the one read of the directory; a return to it reuses them.
  const platform::DirListing& listing = dirList.Current();
  platform::ReadingMemo& memo = listing.Memo();
  if (!memo.valid || memo.clusterSize != s_.gClusterSize) {
    memo.bytes = 0;
    memo.lostSpace = 0;
    memo.hidden.clear();
    for (size_t i = 0; i < listing.EntryCount(); ++i) {
      const platform::FindData entry = listing.Entry(i);
      memo.bytes += static_cast<int64_t>(entry.nFileSize);
      memo.lostSpace += LostSpace(entry.nFileSize, s_.gClusterSize);
      const bool directory = (entry.dwFileAttributes & platform::FILE_ATTRIBUTE_DIRECTORY) != 0;
      const bool hiddenOrSystem = (entry.dwFileAttributes & (platform::FILE_ATTRIBUTE_HIDDEN |
                                                             platform::FILE_ATTRIBUTE_SYSTEM)) != 0;
      // Exact names: on this file system ". " is a directory like any other, not a dot entry.
      if (directory && hiddenOrSystem && entry.cFileName != "." && entry.cFileName != "..")
        memo.hidden.push_back(static_cast<uint32_t>(i));
    }
    memo.clusterSize = s_.gClusterSize;
    memo.valid = true;
  }
  for (const uint32_t i : memo.hidden) lstHidden.AddItem(listing.Name(i));
  s_.gDirBytes = memo.bytes;
  s_.gDirLostSpace = memo.lostSpace;

  ShowDiskInfo(0);
}

void Scanner::ShowDiskInfo(int mode, std::string_view driveText, DiskInfoPanel* panel) {
  if (mode == 1) {
    const std::string root = platform::DriveRootFromText(driveText);
    s_.gFreeBytes = GetDiskSpace(s_, system_, root, "FREE");
    s_.gUsedBytes = GetDiskSpace(s_, system_, root, "USED");
    s_.gTotalBytes = GetDiskSpace(s_, system_, root, "TOTAL");
    if (panel != nullptr) {
      panel->SetUsed(FormatSize(static_cast<double>(s_.gUsedBytes)));
      panel->SetFree(FormatSize(static_cast<double>(s_.gFreeBytes)));
      panel->SetTotal(FormatSize(static_cast<double>(s_.gTotalBytes)));
    }
  }
  s_.gFileCount = static_cast<int64_t>(fileList.ListCount());
  s_.gSubdirCount = static_cast<int64_t>(dirList.ListCount());
  s_.gHiddenCount = static_cast<int64_t>(lstHidden.ListCount());
}

std::string Scanner::DirectoryText(std::string_view name, int64_t bytes, int64_t lost,
                                   TextForm form) const {
  std::string text(name);
  if (form == TextForm::Ordinary) {
    text.append("     ").append(std::to_string(s_.gFileCount)).append(" file(s), [");
  } else {
    text.append("    ").append(std::to_string(s_.gFileCount)).append(" files(s) [");
  }
  text.append(FormatSize(static_cast<double>(bytes), decimalSeparator_))
      .append("], Lost space [")
      .append(FormatSize(static_cast<double>(lost), decimalSeparator_))
      .append("]");
  return text;
}

void Scanner::ScanDrive() {
  decimalSeparator_ = DecimalSeparator();
  tvDisk_.Clear();
  const int64_t rootBytes = s_.gDirBytes;
  const std::string rootPath = dirList.List(-1);
  const std::string rootKey = NodeKey(s_.gNodeCounter, rootPath);
  ++s_.gNodeCounter;
  progress_.ShowCurrentDir(rootPath);
  tvDisk_.Add({}, 0, rootKey, "Root", "closed", "open");

  s_.gTotalFiles = s_.gFileCount;
  s_.gTotalFileBytes = rootBytes;
  s_.gTotalDirs = s_.gSubdirCount + s_.gHiddenCount;
  if (s_.gSubdirCount == 0 && s_.gHiddenCount == 0) return;

  int64_t subtreeBytes = 0;
  for (const bool hidden : {false, true}) {
    const int64_t bound = hidden ? s_.gHiddenCount : s_.gSubdirCount;
    for (int64_t i = 0; i <= bound; ++i) {
      // The count as re-read after each child, never a stale one, ends the loop.
      if (i == (hidden ? s_.gHiddenCount : s_.gSubdirCount)) break;
      const std::string result = ScanDirectory(static_cast<size_t>(i), rootKey, hidden);
      if (s_.gAbort) return;
      subtreeBytes += PairField(result, 1);
    }
  }
  s_.gTotalFileBytes += subtreeBytes;

  // The root shows the drive's own used figure; its lost space is what files and
  // directories (one cluster each) leave unexplained.
  const int64_t lost = s_.gUsedBytes - (s_.gClusterSize * s_.gTotalDirs + s_.gTotalFileBytes);
  std::string text = rootPath;
  text.append(" ")
      .append(std::to_string(s_.gFileCount))
      .append(" file(s) [")
      .append(FormatSize(static_cast<double>(s_.gUsedBytes), decimalSeparator_))
      .append("], Lost space [")
      .append(FormatSize(static_cast<double>(lost), decimalSeparator_))
      .append("]");
  const TreeView::Node root = tvDisk_.Find(rootKey);
  tvDisk_.SetText(root, text);
  tvDisk_.SetExpanded(root, true);
}

std::string Scanner::ScanDirectory(size_t index, const std::string& parentKey, bool hidden) {
  if (s_.gAbort) return {};

  const std::string path =
      hidden ? platform::JoinPath(dirList.Path(), lstHidden.List(index)) : dirList.List(index);
  const std::string key = NodeKey(s_.gNodeCounter, path);
  ++s_.gNodeCounter;
  progress_.ShowCurrentDir(path);
  const std::string name = hidden ? lstHidden.List(index) : PathLeaf(path);
  const std::string_view image = hidden ? "hclosed" : "closed";
  const std::string_view selectedImage = hidden ? "hopen" : "open";

  progress_.DoEvents();
  if (s_.gAbort) return {};

  if (!dirList.SetPath(path)) {
    if (s_.gAbort) return {};  // the read was cut short by a stop
    // Cannot be entered (no permission, gone, I/O error): an empty directory of one cluster,
    // and the list stays at the parent with the parent's figures.
    const int64_t lost = s_.gClusterSize;
    std::string text(name);
    text.append("     0 file(s), [")
        .append(FormatSize(0, decimalSeparator_))
        .append("], Lost space [")
        .append(FormatSize(static_cast<double>(lost), decimalSeparator_))
        .append("]");
    tvDisk_.Add(parentKey, tvwChild, key, text, image, selectedImage);
    progress_.DoEvents();
    return ResultText(0, lost);
  }

  int64_t bytes = s_.gDirBytes;
  int64_t lost = s_.gDirLostSpace + s_.gClusterSize;
  s_.gTotalFiles += s_.gFileCount;
  tvDisk_.Add(parentKey, tvwChild, key, DirectoryText(name, bytes, lost, TextForm::Ordinary), image,
              selectedImage);
  s_.gTotalDirs += s_.gSubdirCount + s_.gHiddenCount;

  for (const bool hiddenChildren : {false, true}) {
    const int64_t bound = hiddenChildren ? s_.gHiddenCount : s_.gSubdirCount;
    if (bound <= 0) continue;
    const TextForm form = hiddenChildren ? TextForm::HiddenChild : TextForm::Ordinary;
    for (int64_t i = 0; i <= bound; ++i) {
      if (i == (hiddenChildren ? s_.gHiddenCount : s_.gSubdirCount)) break;
      const std::string result = ScanDirectory(static_cast<size_t>(i), key, hiddenChildren);
      if (s_.gAbort) return {};
      bytes += PairField(result, 1);
      lost += PairField(result, 2) + s_.gClusterSize;
      tvDisk_.SetText(tvDisk_.Find(key), DirectoryText(name, bytes, lost, form));
    }
  }

  dirList.SetPath(platform::RootOfBareDrive(PathParent(dirList.Path())));
  std::string result = ResultText(bytes, lost);
  progress_.DoEvents();
  return result;
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

int64_t LostSpace(uint64_t size, int64_t clusterSize) {
  if (clusterSize <= 0) return 0;
  const auto cluster = static_cast<uint64_t>(clusterSize);
  return static_cast<int64_t>((cluster - size % cluster) % cluster);
}

}  // namespace kvor
