#pragma once

#include <QWidget>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

class QLabel;
class QPushButton;
class QTreeWidget;

namespace quelmo {

// The editor of the user's custom exclusions: the folders left out now, each with the number
// of items it keeps out of the index, where folders are added and removed before the change
// is applied in one step (which asks first when it is large). Main thread only.
class ExclusionsWindow : public QWidget {
    Q_OBJECT
public:
    struct Handlers {
        // Counts the items `folder` keeps out of the index when `applied` is the list in
        // force: for a folder in it, those it keeps out now; for another, the indexed items
        // it would remove. Answers later with `done` (absent when it could not count), on
        // the main thread.
        std::function<void(const std::vector<std::string>& applied, const std::string& folder,
                            std::function<void(std::optional<int64_t>)> done)>
            countHidden;
        // Replaces the custom exclusions with `folders`.
        std::function<void(std::vector<std::string> folders)> apply;
    };
    // Counts stop at this many items.
    static constexpr int64_t countLimit = 100'000;

    ExclusionsWindow(Handlers handlers, QWidget* parent = nullptr);

    // Lists `applied` afresh, dropping changes not applied.
    void load(std::vector<std::string> applied);
    // While a scan or a verification runs, nothing can be applied.
    void setIndexIdle(bool idle);
    // The folders listed now, as bytes.
    std::vector<std::string> listed() const;

private:
    void addFolders();
    void addRow(const std::string& folder);
    void removeSelected();
    void updateButtons();

    Handlers handlers_;
    std::vector<std::string> applied_;
    bool indexIdle_ = true;
    QTreeWidget* list_ = nullptr;
    QLabel* note_ = nullptr;
    QPushButton* remove_ = nullptr;
    QPushButton* apply_ = nullptr;
};

} // namespace quelmo
