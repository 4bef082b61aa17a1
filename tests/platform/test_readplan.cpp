// The read-ahead's plan on made trees, step by step and without threads: which directories it
// hands out, in which order, when the budget stops it, and where the far reader goes.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <sstream>
#include <tuple>

#include "platform/diskwaits.h"
#include "platform/readplan.h"

namespace kvor::platform {
namespace {

// Runs a script of steps, each traced: F/N the far or another reader picks (its path, "!" for
// a full budget, "-" for nothing), F*/N* picks and delivers until it stops; D delivers the
// oldest pick, d the newest; >name the walk enters (+ read ahead, . read by the walk, ~ deeper
// than readers go; ^ readers have work again), < it leaves (^ as above); # the directories held.
struct Sim {
  std::map<std::string, std::vector<std::string>> tree;  // subdirectories by path
  ReadPlan plan;
  std::vector<std::pair<std::string, ReadPlan::Node*>> walk;  // where the walk stands
  std::vector<ReadPlan::Job> picked;
  std::string trace;

  Sim(const std::string& dirs, ReadPlan::Limits limits, unsigned readers) : plan(limits) {
    std::istringstream in(dirs);
    for (std::filesystem::path d; in >> d; tree[d]) tree[d.parent_path()].push_back(d.filename());
    plan.SetReaders(readers);
    walk.emplace_back("", plan.Start(Read("")));
  }
  // A read of `path`: its subdirectories, and one 512-byte block of files.
  std::shared_ptr<const DirSummary> Read(const std::string& path) {
    auto s = std::make_shared<DirSummary>();
    for (const std::string& kid : tree[path]) s->names += kid, s->ends.push_back(static_cast<uint32_t>(s->names.size()));
    s->allocated = 1;
    return s;
  }
  void Pick(bool far, bool all) {
    ReadPlan::Job job;
    while ((job = plan.Pick(far)).node != nullptr) {
      trace += " " + job.path, picked.push_back(job);
      if (!all) return;
      Deliver(job);
    }
    trace += job.full ? " !" : " -";
    EXPECT_FALSE(job.full && !far && plan.HasWork());  // no work for others while the budget is full
  }
  void Deliver(const ReadPlan::Job job) {
    std::erase_if(picked, [&](const ReadPlan::Job& j) { return j.node == job.node; });
    plan.Deliver(job.node, Read(job.path));
  }
  void Enter(const std::string& name) {
    const auto [at, parent] = walk.back();
    const std::size_t slot = std::find(tree[at].begin(), tree[at].end(), name) - tree[at].begin();
    const auto node = parent == nullptr ? nullptr : plan.Enter(*parent, slot);
    walk.emplace_back(at.empty() ? name : at + "/" + name, node.get());
    if (node == nullptr) return (void)(trace += " >" + name + "~");
    const ReadPlan::Handed handed = plan.Take(node);
    // Not read ahead, the walk reads it itself.
    const bool news = handed.summary == nullptr ? plan.Adopt(*node, Read(walk.back().first)) : handed.news;
    trace += " >" + name + (handed.summary != nullptr ? "+" : ".") + (news ? "^" : "");
  }
  std::string Run(const std::string& script) {
    std::istringstream in(script);
    for (std::string step; in >> step;) {
      if (step[0] == 'F' || step[0] == 'N') Pick(step[0] == 'F', step.size() > 1);
      if (step == "D" || step == "d") Deliver(step == "d" ? picked.back() : picked.front());
      if (step[0] == '>') Enter(step.substr(1));
      if (step == "<" && walk.back().second != nullptr && plan.Leave(*walk.back().second)) trace += " ^";
      if (step == "<") walk.pop_back();
      if (step == "#") trace += " #" + std::to_string(plan.ReadyToTake().blocks);
    }
    return trace.substr(1);
  }
};

TEST(ReadPlan, HandsOutDirectoriesInTheWalksOrder) {
  std::string wide = "w w/200/1 w/200/2";
  for (int i = 100; i < 300; ++i) wide += " w/" + std::to_string(i);
  // The tree, the budget, the readers, the script and its trace.
  const std::tuple<const char*, ReadPlan::Limits, unsigned, const char*, const char*> rows[] = {
      // Others read the walk's next directories, children of the one walked first, whatever
      // order their parents' reads came back in.
      {"a a/x b b/y", {}, 2, "N N d D N N", "a b a/x b/y"},
      {"a a/x a/y b b/x", {}, 2, "N N D N D N", "a b a/x a/y"},
      {"a a/x b b/y", {}, 2, ">a N* #", ">a.^ a/x b b/y - #3"},
      // The budget: directories held (reads under way among them), bytes, path length.
      {"a b c d e f", {.maxDirs = 4}, 2, "N* # >a < >b N #", "a b c d ! #4 >a+^ >b+ e #2"},
      {"a b c d e", {.maxDirs = 4}, 2, "N N N N N D >a", "a b c d ! >a+^"},
      {"a b c", {.maxBytes = 1}, 2, "N* >a N*", "a ! >a+^ b !"},
      {"a a/x a/y a/z b c d e", {.maxDirs = 8}, 2, "N* >a < >b", "a a/x a/y a/z b c d e ! >a+ ^ >b+"},
      {"a a/bc a/bc/d", {.maxPath = 4}, 2, "N* >a >bc >d", "a a/bc - >a+ >bc+ >d~"},
      // The far reader keeps away from the walk and leaves a part the walk reaches for the next.
      {"a a/x b b/x b/y c c/x", {}, 1, "F >a D F D F < >b >x D F*", "a >a.^ b b/x >b+^ >x. c c/x b/y -"},
      // The walk elsewhere, it goes on with its part; other readers about, it keeps to half the budget.
      {"a a/x b b/x", {}, 1, "F >a D F D >x F", "a >a.^ b >x. b/x"},
      {"a b c d e", {.maxDirs = 4}, 2, "F*", "a b !"},
      // Its parts fill half the budget while the walk is in a big folder: the next lies nearer.
      {"a a/p a/p/x a/q b c d e f g h i j k", {.maxDirs = 8}, 1, "F >a D F*", "a >a.^ b c d e a/p a/p/x a/q f !"},
      // Caught at once in a wide folder, it leaves a stretch of it to the walk (alone).
      {wide.c_str(), {.maxDirs = 80}, 1, "F >w D F D F", "w >w.^ w/120 w/121"},
      {wide.c_str(), {}, 1, "F >w D F D F D F >200 >2 < < F", "w >w.^ w/200 w/200/1 w/200/2 >200+ >2. w/250"},
  };
  for (const auto& [tree, limits, readers, script, trace] : rows)
    EXPECT_EQ(Sim(tree, limits, readers).Run(script), trace) << tree << " | " << script;
}

// Depth costs each directory the same: directories read out of order down a comb 2,000 levels
// deep are put in the walk's order with a few steps up the tree each, not a path's worth.
TEST(ReadPlan, OrderingCostsNoStepPerLevelAbove) {
  const int levels = 2000;
  std::string dirs = "s s/x", path, script = "N N D";
  for (int i = 0; i < levels; ++i) path += (i == 0 ? "d" : "/d"), dirs += " " + path + " " + path + "/s", script += " >d";
  Sim sim(dirs, {.maxPath = SIZE_MAX}, 2);
  sim.Run(script + " D");
  EXPECT_LE(sim.plan.GetStats().hops, 64u * levels);
}

// No reader until reads wait on the disk; then one per read that waited, once about half the
// recent ones did.
TEST(DiskWaits, ReadersJoinOnceAboutHalfTheReadsWaited) {
  // Samples of 8 reads: the blocks read in each, and the readers to add after it.
  for (const auto& samples : std::vector<std::vector<std::pair<long, unsigned>>>{
           {{0, 0}, {7, 0}}, {{3 * 8, 0}, {3 * 8, 0}}, {{8 * 8, 3}, {1000, 8}}, {{8 * 8, 3}, {0, 0}, {8 * 8, 5}}})
    for (DiskWaits waits; const auto& [blocks, added] : samples)
      EXPECT_EQ(waits.Add(blocks), added) << blocks << " of " << samples.size();
}

}  // namespace
}  // namespace kvor::platform
