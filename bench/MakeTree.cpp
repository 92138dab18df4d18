// Writes a deterministic synthetic tree of N items on disk for the scan benchmark.
//
//   make-tree ROOT [--items N]      (default 500,000)
//
// Folders and files with the search benchmark's names; files are empty or sparse (their
// length set without writing data), about 2% are symbolic links, and some folders are ones
// the index leaves out (.git, node_modules, __pycache__) with content of their own.

#include "SyntheticTree.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <string>

using namespace quelmo::bench;

int main(int argc, char** argv) {
    if (argc < 2) {
        std::cerr << "usage: make-tree ROOT [--items N]\n";
        return 1;
    }
    std::string root = argv[1];
    size_t items = 500'000;
    for (int i = 2; i < argc; ++i) {
        if (std::string(argv[i]) == "--items" && i + 1 < argc) {
            items = std::stoull(argv[++i]);
        }
    }
    if (std::filesystem::exists(root)) {
        std::cerr << "make-tree: " << root << " exists already\n";
        return 1;
    }
    std::vector<SyntheticNode> nodes = generateTree(items, 500000);
    std::vector<std::string> paths(nodes.size());
    paths[0] = root;
    std::filesystem::create_directories(root);
    Random random(99);
    const char* excludedNames[] = {".git", "node_modules", "__pycache__"};
    for (size_t i = 1; i < nodes.size(); ++i) {
        const SyntheticNode& node = nodes[i];
        std::string name = node.name;
        // About one folder in 60 is one the index leaves out.
        if (node.isDirectory && random.chance(1.0 / 60)) {
            name = excludedNames[random.below(3)];
            if (std::filesystem::exists(paths[size_t(node.parent)] + "/" + name)) {
                name = node.name;
            }
        }
        paths[i] = paths[size_t(node.parent)] + "/" + name;
        const char* path = paths[i].c_str();
        if (node.isDirectory) {
            if (mkdir(path, 0755) != 0) {
                std::perror(path);
                return 1;
            }
        } else if (random.chance(0.02) && i > 1) {
            if (symlink(paths[i - 1].c_str(), path) != 0) {
                std::perror(path);
                return 1;
            }
        } else {
            int fd = open(path, O_CREAT | O_WRONLY | O_EXCL, 0644);
            if (fd < 0) {
                std::perror(path);
                return 1;
            }
            if (node.size > 0 && random.chance(0.3) && ftruncate(fd, node.size) != 0) {
                std::perror(path);
            }
            close(fd);
        }
    }
    std::printf("%zu items under %s\n", nodes.size(), root.c_str());
    return 0;
}
