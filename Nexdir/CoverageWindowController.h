#pragma once

#include "CoverageModel.h"

#include <QTimer>
#include <QWidget>

#include <functional>

class QLabel;
class QLineEdit;
class QPushButton;
class QStackedWidget;
class QTabBar;
class QTableWidget;

namespace quelmo {

// The "Index Coverage" window: what the search covers (indexed, unreadable, excluded) and
// what the index is doing, drawn from its model whenever a new snapshot arrives. While it is
// visible it asks for a fresh snapshot every 5 seconds, so the header follows a scan or a
// verification as it runs. Main thread only.
class CoverageWindowController : public QWidget {
    Q_OBJECT
public:
    // `verify` and `exclusions` are its two buttons' actions.
    CoverageWindowController(std::function<void()> verify, std::function<void()> exclusions,
                             QWidget* parent = nullptr);
    ~CoverageWindowController() override;

    CoverageModel& model() { return model_; }
    // Asked for a new snapshot (every 5 s while visible); set by the application.
    std::function<void()> onRefresh;

    static constexpr int refreshMilliseconds = 5000;

private:
    void buildWindow();
    QWidget* buildWatchLimitRow();
    QWidget* buildBuiltInPage();
    void showModel();
    void showList();
    CoverageModel::Tab selectedTab() const;
    // Paths as the clipboard takes them: a name that is not UTF-8 shell-quoted.
    void copy(const QString& text);

    CoverageModel model_;
    std::function<void()> verify_;
    std::function<void()> exclusions_;
    QTimer timer_;
    std::vector<std::string> shown_; // the rows of the list, as bytes

    QLabel* symbol_ = nullptr;
    QLabel* title_ = nullptr;
    QLabel* explanation_ = nullptr;
    QLabel* indexedItems_ = nullptr;
    QLabel* unreadablePaths_ = nullptr;
    QWidget* watchLimit_ = nullptr;
    QLabel* watchLimitText_ = nullptr;
    QTabBar* tabs_ = nullptr;
    QLabel* tabExplanation_ = nullptr;
    QLineEdit* filter_ = nullptr;
    QStackedWidget* pages_ = nullptr; // the list, its empty state, the built-in exclusions
    QTableWidget* list_ = nullptr;
    QLabel* emptyState_ = nullptr;
    QWidget* footer_ = nullptr;
    QLabel* counts_ = nullptr;
    QPushButton* copyList_ = nullptr;
};

} // namespace quelmo
