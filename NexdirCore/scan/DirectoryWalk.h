#pragma once

#include "DirectoryRegistrar.h"
#include "DirectoryWorkQueue.h"
#include "ExclusionRules.h"
#include "FileSystem.h"

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace nexdir {

// One item of a folder as a walk meets it: every entry the exclusion rules keep, with its
// values from one statx relative to the open folder, or the errno that stopped the read.
struct WalkedItem {
    std::string name;
    std::string path;
    std::optional<ItemValues> values;
    int errorCode = 0;

    bool isEnterableFolder() const { return values && values->isEnterableFolder(); }
};

// One folder listed the way every walk lists: announced to the registrar first (so a change
// made meanwhile is either in this listing or reported after it), then read whole, and each
// entry the rules keep read with one statx. `path` and `scanRoot` are standardised;
// `folderIsKept`: the rules keep `path` itself, so only what each entry's name adds is tested.
class WalkedFolder {
public:
    WalkedFolder(const std::string& path, const std::string& scanRoot, const ExclusionRules& rules,
                 DirectoryRegistrar* registrar, bool folderIsKept);

    const std::string& path() const { return path_; }
    // False when the folder could not be listed; `errorCode()` says why.
    bool ok() const { return errorCode_ == 0; }
    int errorCode() const { return errorCode_; }
    // Entries listed, excluded ones included.
    size_t listedCount() const { return listedCount_; }
    const std::vector<WalkedItem>& items() const { return items_; }

private:
    std::string path_;
    int errorCode_ = 0;
    size_t listedCount_ = 0;
    std::vector<WalkedItem> items_;
};

// A walk of a folder tree by several workers sharing one queue of folders, depth first. Each
// worker has its own visitor; the visitor of a worker sees every folder that worker lists and
// answers which of its subfolders to walk next. The first exception a visitor throws stops the
// walk: the other workers finish the folder in hand, and `run` rethrows it.
class DirectoryWalk {
public:
    using Folder = DirectoryWorkItem;

    class Visitor {
    public:
        virtual ~Visitor() = default;
        // `listing` of `folder`, listed or not; answers the subfolders to walk, each with the
        // tag its own visit receives as `folder.id`.
        virtual std::vector<Folder> visit(const Folder& folder, const WalkedFolder& listing) = 0;
        // The worker ends, after its last visit (also when the walk stops early).
        virtual void finish() {}
    };

    DirectoryWalk(std::string scanRoot, const ExclusionRules& rules, DirectoryRegistrar* registrar)
        : scanRoot_(std::move(scanRoot)), rules_(rules), registrar_(registrar) {}

    // Walks from `root` with `workers` threads (the calling thread is one of them), each with
    // a visitor from `makeVisitor`, called on the calling thread.
    void run(Folder root, int workers,
             const std::function<std::unique_ptr<Visitor>()>& makeVisitor);

private:
    std::string scanRoot_;
    const ExclusionRules& rules_;
    DirectoryRegistrar* registrar_;
};

// Announces every folder of the tree at `root` that the rules keep to `registrar`, each before
// it is listed, without indexing anything: what a scan does for the file-event service.
// `shouldEnter`, when given, decides for each folder below the root whether it is walked.
// Answers the number of folders announced.
size_t watchTree(const std::string& root, const ExclusionRules& rules,
                 DirectoryRegistrar& registrar,
                 const std::function<bool(const std::string&)>& shouldEnter = {});

} // namespace nexdir
