// The name cache against lookups without it and against a model of the
// directory tree: random steps change the tree, as other programs and the
// tool itself would, and after each step every lookup gets one answer from
// all three.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <ctime>
#include <filesystem>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "scratch_test.h"

namespace {

namespace fs = std::filesystem;

char upper(char c) {
  return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

std::string upper(const std::string& text) {
  std::string out = text;
  for (char& c : out)
    c = upper(c);
  return out;
}

// The order in which a case-blind lookup prefers one spelling to another.
bool ranks_before(const std::string& a, const std::string& b) {
  std::string x = upper(a);
  std::string y = upper(b);
  return x != y ? x < y : a < b;
}

struct Dir;

struct Entry {
  enum Kind { FILE, DIR, LINK } kind;
  std::shared_ptr<Dir> dir;  // for DIR, and the directory a LINK leads to
  std::string text;          // for FILE
};

struct Dir {
  std::map<std::string, Entry> entries;
};

// The tree as it should be, and how a lookup should spell a path in it.
struct Model {
  std::shared_ptr<Dir> root = std::make_shared<Dir>();

  // The spelling of `name` in `dir` that a lookup takes: the exact one, else
  // the first in name order that matches without regard to case; "" for none.
  static std::string pick(const Dir& dir, const std::string& name) {
    if (dir.entries.count(name) != 0)
      return name;
    std::string best;
    for (const auto& [candidate, entry] : dir.entries)
      if (upper(candidate) == upper(name) && (best.empty() || ranks_before(candidate, best)))
        best = candidate;
    return best;
  }

  // Resolves the components of `parts`; `found` is the entry of the last one,
  // `holder` the directory that holds it, or nullptr.
  std::vector<std::string> resolve(const std::vector<std::string>& parts, Entry** found,
                                   Dir** holder) {
    std::vector<std::string> out;
    Dir* dir = root.get();
    *found = nullptr;
    *holder = nullptr;
    for (const std::string& part : parts) {
      std::string chosen = dir != nullptr ? pick(*dir, part) : "";
      *holder = dir;
      *found = nullptr;
      if (chosen.empty()) {
        out.push_back(part);
        dir = nullptr;
        continue;
      }
      out.push_back(chosen);
      *found = &dir->entries[chosen];
      dir = (*found)->kind == Entry::FILE ? nullptr : (*found)->dir.get();
    }
    return out;
  }
};

// What makes an entry of the model the same file under another name.
const void* identity(const Entry* entry) {
  if (entry == nullptr)
    return nullptr;
  return entry->kind == Entry::FILE ? static_cast<const void*>(entry) : entry->dir.get();
}

const char* const NAMES[] = {"a.htm", "page.htm", "page.bat", "b.bat"};
const char* const DIRS[] = {"d", "web"};

class NameCacheModel : public ScratchTest {
 protected:
  std::string spell(const std::string& name) {
    std::string out = name;
    for (char& c : out)
      if (random_() % 2 == 0)
        c = upper(c);
    return out;
  }

  std::string join(const std::vector<std::string>& parts) const {
    std::string path = root_.string();
    for (const std::string& part : parts)
      path += "/" + part;
    return path;
  }

  // A directory of the tree, as the model names it: the root, or one of
  // the directories in it.
  std::vector<std::string> some_directory() {
    std::vector<std::string> dirs = {{}};
    for (const auto& [name, entry] : model_.root->entries)
      if (entry.kind != Entry::FILE)
        dirs.push_back(name);
    std::string chosen = dirs[random_() % dirs.size()];
    return chosen.empty() ? std::vector<std::string>{} : std::vector<std::string>{chosen};
  }

  Dir* dir_at(const std::vector<std::string>& parts) {
    return parts.empty() ? model_.root.get() : model_.root->entries[parts[0]].dir.get();
  }

  // Steps that another program takes, at a later tick of the clock than
  // anything before them.
  void create_file(std::vector<std::string> parts, const std::string& name) {
    Dir* dir = dir_at(parts);
    if (dir->entries.count(name) != 0)
      return;
    parts.push_back(name);
    std::string text = "text " + std::to_string(random_());
    FILE* file = fopen(join(parts).c_str(), "wb");
    ASSERT_NE(nullptr, file);
    fputs(text.c_str(), file);
    fclose(file);
    dir->entries[name] = {Entry::FILE, nullptr, text};
  }

  void remove_file(const std::vector<std::string>& parts) {
    Dir* dir = dir_at(parts);
    for (auto it = dir->entries.begin(); it != dir->entries.end(); ++it) {
      if (it->second.kind == Entry::FILE) {
        std::vector<std::string> path = parts;
        path.push_back(it->first);
        ASSERT_EQ(0, unlink(join(path).c_str()));
        dir->entries.erase(it);
        return;
      }
    }
  }

  void rename_file(const std::vector<std::string>& parts, const std::string& to) {
    Dir* dir = dir_at(parts);
    for (auto& [name, entry] : dir->entries) {
      if (entry.kind == Entry::FILE && dir->entries.count(to) == 0) {
        std::vector<std::string> from = parts;
        std::vector<std::string> target = parts;
        from.push_back(name);
        target.push_back(to);
        ASSERT_EQ(0, rename(join(from).c_str(), join(target).c_str()));
        Entry moved = entry;
        dir->entries.erase(name);
        dir->entries[to] = moved;
        return;
      }
    }
  }

  void create_directory(const std::string& name) {
    if (model_.root->entries.count(name) != 0)
      return;
    ASSERT_EQ(0, mkdir(join({name}).c_str(), 0777));
    model_.root->entries[name] = {Entry::DIR, std::make_shared<Dir>(), ""};
  }

  void set_time_back(const std::vector<std::string>& parts, time_t when) {
    struct timespec times[2] = {{when, 0}, {when, 0}};
    ASSERT_EQ(0, utimensat(AT_FDCWD, join(parts).c_str(), times, 0));
  }

  // The directory moves away and a link to it takes its name.
  void move_behind_link(const std::string& name) {
    auto found = model_.root->entries.find(name);
    if (found == model_.root->entries.end() || found->second.kind != Entry::DIR)
      return;
    std::string away = name + "." + std::to_string(moves_++);
    ASSERT_EQ(0, rename(join({name}).c_str(), join({away}).c_str()));
    ASSERT_EQ(0, symlink(away.c_str(), join({name}).c_str()));
    Entry moved = found->second;
    model_.root->entries[away] = moved;
    model_.root->entries[name] = {Entry::LINK, moved.dir, ""};
  }

  // The tool's own step: an output written under some spelling.
  void write_output(std::vector<std::string> parts, const std::string& name) {
    parts.push_back(name);
    Entry* found;
    Dir* holder;
    std::vector<std::string> resolved = model_.resolve(parts, &found, &holder);
    bool lands = holder != nullptr && (found == nullptr || found->kind == Entry::FILE);
    std::string text = "output " + std::to_string(random_());
    OutputFile output;
    bool opened = output_open(&output, join(parts).c_str());
    ASSERT_EQ(lands, opened) << join(parts);
    if (!opened)
      return;
    fputs(text.c_str(), output.stream);
    ASSERT_TRUE(output_commit(&output));
    holder->entries[resolved.back()] = {Entry::FILE, nullptr, text};
  }

  // The names in the tree, as the system lists them and as the model holds
  // them.
  std::string listing() const {
    std::map<std::string, int> names;
    for (const auto& entry : fs::recursive_directory_iterator(root_))
      names[entry.path().string()] = 1;
    std::string out;
    for (const auto& [name, one] : names)
      out += name + "\n";
    return out;
  }

  std::string model_listing() const {
    std::map<std::string, int> names;
    for (const auto& [name, entry] : model_.root->entries) {
      names[join({name})] = 1;
      if (entry.kind == Entry::DIR)
        for (const auto& [inner, unused] : entry.dir->entries)
          names[join({name, inner})] = 1;
    }
    std::string out;
    for (const auto& [name, one] : names)
      out += name + "\n";
    return out;
  }

  // Every lookup the test asks after a step, and the model's answers.
  void lookups(std::vector<std::string>* queries, std::string* expected) {
    std::vector<std::vector<std::string>> dirs = {{}};
    for (const auto& [name, entry] : model_.root->entries)
      if (entry.kind != Entry::FILE)
        dirs.push_back({name});
    for (const char* extra : DIRS)
      dirs.push_back({extra});
    for (const auto& dir : dirs) {
      for (const char* name : NAMES) {
        std::vector<std::string> parts;
        for (const std::string& part : dir)
          parts.push_back(spell(part));
        parts.push_back(spell(name));
        Entry* found;
        Dir* holder;
        std::vector<std::string> resolved = model_.resolve(parts, &found, &holder);
        queries->push_back(join(parts));
        std::string text = found != nullptr && found->kind == Entry::FILE ? found->text : "(none)";
        // Another spelling names the same file, or lands in the same place.
        std::vector<std::string> other = parts;
        other.back() = upper(other.back());
        Entry* other_found;
        Dir* other_holder;
        model_.resolve(other, &other_found, &other_holder);
        bool same = found != nullptr
                        ? identity(found) == identity(other_found)
                        : other_found == nullptr && holder != nullptr && holder == other_holder;
        *expected += join(resolved) + "|" + text + "|" + (same ? "1" : "0") + "\n";
      }
    }
  }

  Model model_;
  std::mt19937 random_;
  int moves_ = 0;
};

// The answers of this process to the lookups: each spelling resolved, the
// text that opening it reads, and whether another spelling of it names the
// same file.
std::string answer(const std::vector<std::string>& queries) {
  std::string out;
  for (const std::string& query : queries) {
    char resolved[4096];
    if (!resolve_path(query.c_str(), resolved, sizeof resolved))
      resolved[0] = '\0';
    std::string text = "(none)";
    int reason;
    if (FILE* file = open_source(query.c_str(), &reason)) {
      text.clear();
      char block[256];
      size_t got;
      while ((got = fread(block, 1, sizeof block, file)) > 0)
        text.append(block, got);
      fclose(file);
    }
    std::string other = upper(query.substr(query.rfind('/')));
    other = query.substr(0, query.rfind('/')) + other;
    out += std::string(resolved) + "|" + text + "|" +
           (same_file(query.c_str(), other.c_str()) ? "1" : "0") + "\n";
  }
  return out;
}

// The answers of a process that has no cache, which a child gives so that
// this process keeps its own.
std::string answer_uncached(const std::vector<std::string>& queries) {
  int ends[2];
  if (pipe(ends) != 0)
    return "(no pipe)";
  pid_t child = fork();
  if (child == 0) {
    close(ends[0]);
    name_cache_enable(false);
    std::string out = answer(queries);
    size_t done = 0;
    while (done < out.size()) {
      ssize_t put = write(ends[1], out.data() + done, out.size() - done);
      if (put <= 0)
        break;
      done += static_cast<size_t>(put);
    }
    _exit(0);
  }
  close(ends[1]);
  std::string out;
  char block[4096];
  ssize_t got;
  while ((got = read(ends[0], block, sizeof block)) > 0)
    out.append(block, static_cast<size_t>(got));
  close(ends[0]);
  int status;
  waitpid(child, &status, 0);
  return out;
}

TEST_F(NameCacheModel, AgreesWithNoCacheAndWithTheModel) {
  for (unsigned seed = 1; seed <= 3; seed++) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    TearDown();
    SetUp();
    model_ = Model();
    random_.seed(seed);
    name_cache_enable(true);
    for (int step = 0; step < 100; step++) {
      std::vector<std::string> dir = some_directory();
      std::string name = spell(NAMES[random_() % 4]);
      unsigned kind = random_() % 8;
      SCOPED_TRACE("step " + std::to_string(step) + ": kind " + std::to_string(kind) + " in /" +
                   (dir.empty() ? "" : dir[0]) + " with " + name);
      switch (kind) {
        case 0:
        case 1:
          create_file(dir, name);
          break;
        case 2:
          remove_file(dir);
          break;
        case 3:
          rename_file(dir, name);
          break;
        case 4:
          create_directory(spell(DIRS[random_() % 2]));
          break;
        case 5:
          // As tar or rsync -t would leave it.
          create_file(dir, name);
          set_time_back(dir, 1000000000);
          break;
        case 6:
          move_behind_link(DIRS[random_() % 2]);
          break;
        default:
          write_output(dir, name);
          break;
      }
      std::vector<std::string> queries;
      std::string expected;
      lookups(&queries, &expected);
      std::string cached = answer(queries);
      ASSERT_EQ(expected, cached) << "step " << step;
      ASSERT_EQ(expected, answer_uncached(queries)) << "step " << step;
      ASSERT_EQ(model_listing(), listing()) << "step " << step;
    }
  }
}

// The wrong answers of a cache that trusted a directory's modification time
// or its real path.
TEST_F(NameCacheModel, KnownTrapsAreAnsweredRight) {
  name_cache_enable(true);
  create_directory("d");
  create_file({"d"}, "a.htm");
  create_file({"d"}, "page.bat");
  struct stat before;
  ASSERT_EQ(0, stat(join({"d"}).c_str(), &before));
  std::vector<std::string> queries;
  std::string expected;
  lookups(&queries, &expected);
  ASSERT_EQ(expected, answer(queries));

  // A file added behind the cache's back, its directory's time set back.
  create_file({"d"}, "b.bat");
  struct timespec times[2] = {before.st_atim, before.st_mtim};
  ASSERT_EQ(0, utimensat(AT_FDCWD, join({"d"}).c_str(), times, 0));
  queries.clear();
  expected.clear();
  lookups(&queries, &expected);
  EXPECT_EQ(expected, answer(queries));
  write_output({"D"}, "PAGE.BAT");
  EXPECT_EQ(listing(), model_listing());

  // The directory moves away and a link takes its place.
  move_behind_link("d");
  queries.clear();
  expected.clear();
  lookups(&queries, &expected);
  EXPECT_EQ(expected, answer(queries));
  EXPECT_TRUE(same_file(join({"D", "A.HTM"}).c_str(), join({"d", "a.htm"}).c_str()));
}

}  // namespace
