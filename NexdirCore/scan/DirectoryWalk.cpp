#include "DirectoryWalk.h"

#include "Paths.h"

#include <atomic>
#include <exception>
#include <mutex>
#include <thread>

namespace nexdir {

WalkedFolder::WalkedFolder(const std::string& path, const std::string& scanRoot,
                           const ExclusionRules& rules, DirectoryRegistrar* registrar,
                           bool folderIsKept)
    : path_(path) {
    if (registrar) {
        registrar->willList(path);
    }
    DirectoryListing listing(path);
    if (!listing.ok()) {
        errorCode_ = listing.errorCode();
        return;
    }
    listedCount_ = listing.names().size();
    items_.reserve(listing.names().size());
    for (const std::string& name : listing.names()) {
        std::string child = appendingPathComponent(path, name);
        if (folderIsKept ? rules.shouldSkipChild(child, scanRoot)
                         : rules.shouldSkipStandardized(child, scanRoot)) {
            continue;
        }
        WalkedItem item;
        item.values = readItemValues(listing.fd(), name, item.errorCode);
        item.name = name;
        item.path = std::move(child);
        items_.push_back(std::move(item));
    }
}

void DirectoryWalk::run(Folder root, int workers,
                        const std::function<std::unique_ptr<Visitor>()>& makeVisitor) {
    // The root is walked whatever the rules say of it; every folder below was kept by them.
    std::string rootPath = root.path;
    DirectoryWorkQueue queue(std::move(root));
    std::mutex failureLock;
    std::exception_ptr failure; // guarded by failureLock: the first one wins

    auto work = [&](Visitor& visitor) {
        try {
            while (std::optional<Folder> folder = queue.next()) {
                WalkedFolder listing(folder->path, scanRoot_, rules_, registrar_,
                                     folder->path != rootPath);
                queue.complete(visitor.visit(*folder, listing));
            }
            visitor.finish();
        } catch (...) {
            {
                std::lock_guard guard(failureLock);
                if (!failure) {
                    failure = std::current_exception();
                }
            }
            queue.cancel();
        }
    };

    std::vector<std::unique_ptr<Visitor>> visitors;
    for (int i = 0; i < std::max(workers, 1); ++i) {
        visitors.push_back(makeVisitor());
    }
    std::vector<std::thread> threads;
    for (size_t i = 1; i < visitors.size(); ++i) {
        threads.emplace_back(work, std::ref(*visitors[i]));
    }
    work(*visitors[0]);
    for (std::thread& thread : threads) {
        thread.join();
    }
    if (failure) {
        std::rethrow_exception(failure);
    }
}

size_t watchTree(const std::string& rawRoot, const ExclusionRules& rules,
                 DirectoryRegistrar& registrar,
                 const std::function<bool(const std::string&)>& shouldEnter) {
    class Announcer : public DirectoryWalk::Visitor {
    public:
        Announcer(std::atomic<size_t>& count, const std::function<bool(const std::string&)>& enter)
            : count_(count), shouldEnter_(enter) {}
        std::vector<DirectoryWalk::Folder> visit(const DirectoryWalk::Folder&,
                                                 const WalkedFolder& listing) override {
            count_ += 1;
            std::vector<DirectoryWalk::Folder> subfolders;
            for (const WalkedItem& item : listing.items()) {
                if (item.isEnterableFolder() && (!shouldEnter_ || shouldEnter_(item.path))) {
                    subfolders.push_back({item.path, 0});
                }
            }
            return subfolders;
        }

    private:
        std::atomic<size_t>& count_;
        const std::function<bool(const std::string&)>& shouldEnter_;
    };

    std::string root = standardizePath(rawRoot);
    std::atomic<size_t> announced{0};
    DirectoryWalk(root, rules, &registrar).run({root, 0}, 1, [&] {
        return std::make_unique<Announcer>(announced, shouldEnter);
    });
    return announced;
}

} // namespace nexdir
