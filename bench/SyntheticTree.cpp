#include "SyntheticTree.h"

#include <deque>
#include <set>
#include <unordered_set>

namespace quelmo::bench {

namespace {

const std::vector<std::string> words = {"report",
                                        "photo",
                                        "invoice",
                                        "project",
                                        "draft",
                                        "final",
                                        "notes",
                                        "budget",
                                        "meeting",
                                        "backup",
                                        "image",
                                        "video",
                                        "music",
                                        "data",
                                        "test",
                                        "src",
                                        "lib",
                                        "build",
                                        "config",
                                        "readme",
                                        "summary",
                                        "letter",
                                        "contract",
                                        "scan",
                                        "screenshot",
                                        "travel",
                                        "family",
                                        "holiday",
                                        "school",
                                        "tax",
                                        "bank",
                                        "statement",
                                        "receipt",
                                        "presentation",
                                        "slides",
                                        "design",
                                        "mockup",
                                        "logo",
                                        "icon",
                                        "assets",
                                        "docs",
                                        "document",
                                        "archive",
                                        "export",
                                        "import",
                                        "module",
                                        "component",
                                        "service",
                                        "server",
                                        "client",
                                        "utils",
                                        "helpers",
                                        "index",
                                        "main",
                                        "app",
                                        "core",
                                        "model",
                                        "view",
                                        "controller",
                                        "schema",
                                        "migration",
                                        "release",
                                        "changelog",
                                        "license",
                                        "manual",
                                        "guide",
                                        "tutorial",
                                        "lecture",
                                        "thesis",
                                        "paper",
                                        "chapter",
                                        "book",
                                        "recipe",
                                        "plan",
                                        "schedule",
                                        "calendar",
                                        "contacts",
                                        "account",
                                        "payroll",
                                        "quarterly",
                                        "annual",
                                        "monthly",
                                        "weekly",
                                        "daily",
                                        "session",
                                        "recording",
                                        "podcast",
                                        "episode",
                                        "track",
                                        "album",
                                        "playlist",
                                        "wedding",
                                        "birthday",
                                        "vacation",
                                        "beach",
                                        "mountain",
                                        "garden",
                                        "kitchen",
                                        "house",
                                        "car",
                                        "insurance",
                                        "medical",
                                        "health",
                                        "fitness",
                                        "running",
                                        "training",
                                        "workshop",
                                        "conference",
                                        "proposal",
                                        "review",
                                        "feedback",
                                        "survey",
                                        "results",
                                        "analysis",
                                        "chart",
                                        "graph",
                                        "table",
                                        "sheet",
                                        "form",
                                        "application",
                                        "certificate",
                                        "passport",
                                        "ticket",
                                        "booking",
                                        "hotel",
                                        "flight",
                                        "map",
                                        "route",
                                        "camera",
                                        "phone",
                                        "download",
                                        "upload",
                                        "sync",
                                        "cache",
                                        "temp",
                                        "old",
                                        "new",
                                        "copy",
                                        "version",
                                        "edit",
                                        "raw",
                                        "original",
                                        "print",
                                        "sample",
                                        "example",
                                        "demo",
                                        "prototype",
                                        "sketch",
                                        "render",
                                        "texture",
                                        "model3d",
                                        "sound",
                                        "voice",
                                        "memo",
                                        "journal",
                                        "diary",
                                        "story",
                                        "poem",
                                        "song",
                                        "lyrics",
                                        "score",
                                        "game",
                                        "save",
                                        "level",
                                        "player",
                                        "settings",
                                        "profile",
                                        "user",
                                        "admin",
                                        "public",
                                        "private",
                                        "shared",
                                        "team",
                                        "client-work",
                                        "personal",
                                        "work",
                                        "home",
                                        "finance",
                                        "legal",
                                        "hr",
                                        "marketing",
                                        "sales",
                                        "support",
                                        "product",
                                        "engineering",
                                        "research",
                                        "experiment",
                                        "measurement",
                                        "sensor",
                                        "log",
                                        "trace",
                                        "dump",
                                        "crash",
                                        "error",
                                        "warning",
                                        "debug",
                                        "output",
                                        "input",
                                        "fixture",
                                        "snapshot",
                                        "bundle",
                                        "package",
                                        "vendor",
                                        "plugin",
                                        "extension",
                                        "theme",
                                        "style",
                                        "font",
                                        "layout",
                                        "template",
                                        "header",
                                        "footer",
                                        "sidebar",
                                        "widget",
                                        "button",
                                        "dialog",
                                        "window",
                                        "caf\xC3\xA9",
                                        "r\xC3\xA9sum\xC3\xA9",
                                        "na\xC3\xAFve",
                                        "\xC3\xBC"
                                        "ber",
                                        "gr\xC3\xB6\xC3\x9F"
                                        "e",
                                        "se\xC3\xB1or",
                                        "cr\xC3\xA8me",
                                        "fa\xC3\xA7"
                                        "ade",
                                        "jalape\xC3\xB1o",
                                        "\xC3\x84rger",
                                        "\xC3\x96konomie",
                                        "\xC3\xA9t\xC3\xA9",
                                        "ni\xC3\xB1o",
                                        "Z\xC3\xBCrich",
                                        "M\xC3\xBCnchen",
                                        "S\xC3\xA3o-Paulo",
                                        "Krak\xC3\xB3w",
                                        "\xC3\x85rhus",
                                        "Malm\xC3\xB6",
                                        "Bras\xC3\xAD"
                                        "lia"};

const std::vector<std::string> rare = {
    "zephyrine",       "quixotic",  "xylograph", "vellichor",  "sonder",  "petrichor",
    "limerence",       "hiraeth",   "apricity",  "komorebi",   "fernweh", "eudaimonia",
    "kalopsia",        "ineffable", "susurrus",  "nefelibata", "halcyon", "ephemeron",
    "aurora-borealis", "quokka",    "axolotl",   "pangolin",   "narwhal", "okapi",
    "tardigrade",      "capybara",  "wombat",    "platypus",   "ocelot",  "chinchilla"};

const std::vector<std::string> extensions = {
    ".txt",  ".pdf",  ".jpg",  ".jpg",    ".jpeg", ".png",    ".png", ".gif",  ".heic",
    ".docx", ".xlsx", ".pptx", ".mp3",    ".m4a",  ".flac",   ".mp4", ".mov",  ".mkv",
    ".c",    ".h",    ".cpp",  ".hpp",    ".py",   ".js",     ".ts",  ".json", ".md",
    ".html", ".css",  ".zip",  ".tar.gz", ".log",  ".csv",    ".xml", ".yaml", ".svg",
    ".rs",   ".go",   ".java", ".o",      ".so",   ".sqlite", ".bak", ""};

const std::vector<std::string> separators = {"-", "_", " ", ".", "-", "_"};

std::string capitalised(std::string word) {
    if (!word.empty() && word[0] >= 'a' && word[0] <= 'z') {
        word[0] = char(word[0] - 'a' + 'A');
    }
    return word;
}

std::string hexName(Random& random, size_t length) {
    static const char digits[] = "0123456789abcdef";
    std::string name;
    for (size_t i = 0; i < length; ++i) {
        name += digits[random.below(16)];
    }
    return name;
}

std::string wordName(Random& random) {
    std::string name;
    size_t count = 1 + random.below(3);
    const std::string& separator = random.pick(separators);
    for (size_t i = 0; i < count; ++i) {
        std::string word = random.chance(0.0002 * 3) ? random.pick(rare) : random.pick(words);
        if (random.chance(0.3)) {
            word = capitalised(word);
        }
        if (i > 0) {
            name += separator;
        }
        name += word;
    }
    if (random.chance(0.35)) {
        name += separator;
        name += random.chance(0.5) ? std::to_string(1990 + random.below(36))
                                   : std::to_string(1 + random.below(999));
    }
    return name;
}

std::string folderName(Random& random) {
    if (random.chance(0.05)) {
        return hexName(random, 2);
    }
    return wordName(random);
}

std::string fileName(Random& random) {
    if (random.chance(0.06)) {
        return hexName(random, 8 + random.below(32));
    }
    if (random.chance(0.05)) {
        return "IMG_" + std::to_string(1000 + random.below(9000)) +
               (random.chance(0.5) ? ".JPG" : ".HEIC");
    }
    return wordName(random) + random.pick(extensions);
}

} // namespace

const std::vector<std::string>& rareWords() {
    return rare;
}

std::vector<SyntheticNode> generateTree(size_t count, uint64_t seed) {
    Random random(seed);
    std::vector<SyntheticNode> nodes;
    nodes.reserve(count);
    nodes.push_back({-1, "", true, 0, 0});
    std::vector<std::unordered_set<std::string>> namesInFolder(1);
    std::vector<size_t> folderOfNode{0};

    // Folders are filled breadth first; each gets a handful to a few dozen items, about one
    // in eight of them a folder, so the tree is wide near the top and deep in places.
    std::deque<size_t> pending{0};
    while (nodes.size() < count) {
        if (pending.empty()) {
            pending.push_back(random.below(nodes.size()));
            while (!nodes[pending.back()].isDirectory) {
                pending.back() = random.below(nodes.size());
            }
        }
        size_t parent = pending.front();
        pending.pop_front();
        int depth = nodes[parent].depth + 1;
        size_t children = 2 + random.below(random.chance(0.1) ? 120 : 14);
        for (size_t c = 0; c < children && nodes.size() < count; ++c) {
            bool isDirectory = depth < 12 && random.chance(0.13);
            std::string name = isDirectory ? folderName(random) : fileName(random);
            auto& taken = namesInFolder[folderOfNode[parent]];
            if (!taken.insert(name).second) {
                name += " " + std::to_string(taken.size());
                taken.insert(name);
            }
            int64_t size = isDirectory ? 0 : int64_t(random.below(1 << (10 + random.below(14))));
            nodes.push_back({int64_t(parent), std::move(name), isDirectory, depth, size});
            if (isDirectory) {
                folderOfNode.push_back(namesInFolder.size());
                namesInFolder.emplace_back();
                pending.push_back(nodes.size() - 1);
            } else {
                folderOfNode.push_back(0);
            }
        }
    }
    return nodes;
}

} // namespace quelmo::bench
