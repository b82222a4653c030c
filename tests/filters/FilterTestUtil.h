// Helpers of the filter tests: a private temporary folder, files written into it, and a
// readable dump of a filter tree ("text [state]" per node, indented by depth).
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "TempFolder.h"
#include "filters/FilterTable.h"
#include "filters/TreeModel.h"

namespace kvx::test {

class FilterTempDir {
  public:
    FilterTempDir() {
        path_ = kvx::testing::makeTempFolder("kvxfilters");
        if (path_.empty()) ADD_FAILURE() << "no temporary folder";
    }
    ~FilterTempDir() {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    FilterTempDir(const FilterTempDir&) = delete;
    FilterTempDir& operator=(const FilterTempDir&) = delete;

    std::string file(const std::string& name) const { return (path_ / name).string(); }
    std::string write(const std::string& name, const std::string& content) const {
        const std::string p = file(name);
        std::ofstream(p, std::ios::binary) << content;
        return p;
    }
    const std::filesystem::path& path() const { return path_; }

  private:
    std::filesystem::path path_;
};

inline std::string readAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// A text file as a text reader of the system sees it: lines end in "\n" (CR LF on Windows).
inline std::string readText(const std::string& path) {
    std::ifstream in(path);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// One line per node: two spaces per level, the text, and " [n]" with the state image index.
inline void dumpNodes(const filters::TreeModel& tree, filters::NodeId parent, int depth,
                      std::string& out) {
    for (auto n = tree.firstChild(parent); n != filters::kNoNode; n = tree.nextSibling(n)) {
        out += std::string(static_cast<size_t>(depth) * 2, ' ') + tree.text(n) + " [" +
               std::to_string(tree.stateImage(n)) + "]\n";
        dumpNodes(tree, n, depth + 1, out);
    }
}
inline std::string dumpTree(const filters::TreeModel& tree) {
    std::string out;
    dumpNodes(tree, filters::kNoNode, 0, out);
    return out;
}

// The first node (pre-order) whose text is `text`; kNoNode when none.
inline filters::NodeId findNode(const filters::TreeModel& tree, const std::string& text,
                                filters::NodeId parent = filters::kNoNode) {
    for (auto n = tree.firstChild(parent); n != filters::kNoNode; n = tree.nextSibling(n)) {
        if (tree.text(n) == text) return n;
        if (auto f = findNode(tree, text, n)) return f;
    }
    return filters::kNoNode;
}

}  // namespace kvx::test
