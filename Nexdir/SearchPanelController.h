#pragma once

#include "DispatchQueue.h"
#include "IndexStatistics.h"
#include "NameSearch.h"
#include "ResultsModel.h"
#include "SearchCancellation.h"
#include "SettingsDefaults.h"
#include "TrashFolder.h"
#include "VolumeSpace.h"

#include <QPointer>
#include <QTimer>
#include <QWidget>

#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>

class QLabel;
class QLineEdit;
class QMenu;
class QPushButton;
class QTableView;
class QToolButton;

namespace quelmo {

class ResourcePanel;
class StatusIndicator;
class StatusLabel;

// The search panel: a dark floating window where a query typed into the field lists the
// matching files and folders as you type, and every action on a result is one key away.
//
// Everything here lives on the main thread. Queries run on the search queue; their answers
// come back to the main thread and are shown only while their generation is current, so a
// slower, older query never overwrites a newer one.
//
// A second mode lists the largest indexed files by their space on disk, measuring the files
// the index has not measured yet on the allocation queue, where search results are measured
// too; a measurement's answers are shown only while its generation is current and its token
// is not cancelled. From that list a file can be moved to the Trash after a confirmation.
class SearchPanelController : public QWidget {
    Q_OBJECT
public:
    using SearchFunction = std::function<nexdir::SearchResponse(
        const std::string& query, int limit, const std::shared_ptr<nexdir::SearchCancellation>&)>;

    // What the bottom of the panel shows besides the status: read off the main thread; throws
    // when the index cannot be read.
    struct Statistics {
        nexdir::IndexStatistics index;
        std::optional<nexdir::VolumeSpace> bootVolume;
    };
    using StatisticsFunction = std::function<Statistics()>;

    SearchPanelController(nexdir::NameSearch& names, QString trashDirectory,
                          nexdir::DispatchQueue& searchQueue, QWidget* parent = nullptr);
    ~SearchPanelController() override;

    void toggle();
    void showPanel();
    void hidePanel();
    // The application's status text: the index indicator's title, tint and spinner follow it.
    void setIndexStatus(const QString& status);
    // Reads the statistics and the boot volume's space again; unless forced, at most once a
    // second, as every status text asks for it.
    void refreshStatistics(bool force);
    void setStatisticsFunction(StatisticsFunction statistics) {
        statistics_ = std::move(statistics);
    }
    // What the resources popover's "Check for Updates…" asks.
    void setUpdateChecks(std::function<bool()> canCheck, std::function<void()> check) {
        canCheckUpdates_ = std::move(canCheck);
        checkUpdates_ = std::move(check);
    }
    void showResources();
    // The user's own exclusions, which an empty answer names when the query does.
    void setCustomExclusions(std::function<std::vector<std::string>()> exclusions) {
        customExclusions_ = std::move(exclusions);
    }
    // The index changed: rerun the current query, coalesced to one per half second and
    // deferred while a query runs.
    void refreshResults();
    std::optional<nexdir::SearchResult> selectedResult() const;

    // The two modes, in the order of their segments.
    enum class Mode { search = 0, largeFiles = 1 };
    Mode mode() const { return mode_; }
    // What a click on a mode's segment does; nothing when the mode is already on.
    void modeChanged(int segment);
    // Lists the largest indexed files and measures the files the index has not measured yet.
    void loadLargestFiles(bool forceTrashMeasure);

    // The Trash: its button shows what the user's own Trash holds, and a file selected in
    // the largest-files list can be moved there after a confirmation.
    void moveSelectedToTrash();
    bool canMoveSelectedToTrash() const;
    void openTrash();
    void remeasureTrash() { refreshTrashSize(true); }
    // Measures the Trash again; unless forced, at most once a minute.
    void refreshTrashSize(bool force);

    void openSelected();
    void revealSelected();
    void copySelectedPath();
    void chooseApplication();
    void moveSelection(int step);
    // The application's menu, offered by the menu button, F10 and a right-click away from
    // the results; `keyed` are its items whose keys the panel answers.
    void setPanelMenu(QMenu* menu, const QList<QAction*>& keyed);

    // For tests: what a query calls (default: the name search), and the panel's parts.
    void setSearchFunction(SearchFunction search) { search_ = std::move(search); }
    QLineEdit* searchField() const { return searchField_; }
    QTableView* table() const { return table_; }
    StatusLabel* statusLabel() const { return statusLabel_; }
    const std::vector<nexdir::SearchResult>& results() const { return model_->results(); }
    bool isLoading() const { return isLoading_; }
    std::set<std::string>& movedToTrash() { return movedToTrash_; }
    QMenu* contextMenu() const { return contextMenu_; }
    QMenu* openWithMenu() const { return openWithMenu_; }
    QPushButton* searchModeButton() const { return searchModeButton_; }
    QToolButton* menuButton() const { return menuButton_; }
    StatusIndicator* indexIndicator() const { return indexIndicator_; }
    StatusIndicator* diskIndicator() const { return diskIndicator_; }
    QLabel* statisticsLabel() const { return statisticsLabel_; }
    QToolButton* resourcesButton() const { return resourcesButton_; }
    ResourcePanel* resourcePanel() const { return resourcePanel_; }
    QPushButton* largeFilesModeButton() const { return largeFilesModeButton_; }
    QLabel* modeTitle() const { return modeTitle_; }
    QToolButton* trashButton() const { return trashButton_; }
    QAction* trashMenuItem() const { return trashMenuItem_; }

    // A page of results; the end of the list loads the next, up to maximumResults.
    // How the list is ordered: as the search ranks (the default), or by a column.
    enum class ResultOrder { relevance, name, folder, modified, size };
    static constexpr const char* sortOrderKey = "resultsOrder";
    static constexpr const char* sortAscendingKey = "resultsOrderAscending";
    void setResultOrder(ResultOrder order, bool ascending);
    ResultOrder resultOrder() const { return order_; }

    static constexpr int searchLimit = 50;
    static constexpr int maximumResults = 1000;
    static constexpr int debounceMilliseconds = 80;
    static constexpr int refreshMilliseconds = 500;
    static constexpr double statisticsIntervalSeconds = 1.0;
    static constexpr int largestFilesLimit = 200;
    static constexpr int measurementBatch = 256;
    static constexpr double measurementRefreshSeconds = 1.0;
    static constexpr int64_t trashEntryLimit = 100000;
    static constexpr double trashSecondsLimit = 3.0;
    static constexpr double trashRemeasureSeconds = 60.0;
    static constexpr int trashTimerMilliseconds = 10000;

Q_SIGNALS:
    // A query's answer (or failure) of the current generation was shown.
    void searchSettled();
    // The panel was brought up: the user is here.
    void shown();
    // The status line that points to Index Coverage was clicked.
    void coverageRequested();
    // A measurement of the Trash was shown on its button.
    void trashMeasured();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;

private:
    void buildWindow();
    void buildContextMenu();
    // Opens the application's menu (at the menu button unless `at` is given), or the selected
    // result's; from the keyboard its first item is selected.
    void popUpPanelMenu(std::optional<QPoint> at, bool fromKeyboard);
    void popUpResultMenu(int row, QPoint at, bool fromKeyboard);
    void popUpSelectedResultMenu();
    void fillOpenWithMenu();
    void searchFieldChanged(const QString& text);
    // Makes every earlier answer stale, cancels the search and the measurement under way and
    // a search not yet started; the new load's generation.
    uint64_t beginLoading();
    void runSearch(const QString& query, bool preservingSelection);
    void startPendingSearch();
    void finishSearch(uint64_t generation, std::optional<nexdir::SearchResponse> response,
                      QString error, bool preservingSelection, int limit);
    void displayResults(std::vector<nexdir::SearchResult> results, bool preservingSelection);
    void performRefresh();
    // Largest-files mode and the measurement of sizes on disk (SearchPanelLargeFiles.cpp).
    void buildModeTitle();
    // `quiet`: a refresh, which shows no status of its own unless it measures something.
    void finishLargestFiles(uint64_t generation, std::optional<nexdir::SearchResponse> response,
                            QString error, bool quiet);
    void measureAllocation(uint64_t generation, bool quiet);
    void measureSearchAllocations(std::vector<nexdir::SearchResult> results, uint64_t generation);
    // Runs `show` on the main thread if the measurement's generation is still current and its
    // token not cancelled. Any thread.
    void whileMeasurementCurrent(uint64_t generation,
                                 std::shared_ptr<nexdir::SearchCancellation> token,
                                 std::function<void(SearchPanelController&)> show);
    // The Trash button, its menu and its measurement (SearchPanelTrash.cpp).
    void buildTrashButton();
    void showTrashSize(const nexdir::TrashSize& size);
    void loadMoreResults();
    // A click on a column's header: sort by it, or reverse it.
    void sortByColumn(int column);
    void showSortIndicator();
    void sortResults(std::vector<nexdir::SearchResult>& results) const;
    static QString orderTitle(ResultOrder order);
    void activateSelectedFromKeyboard(bool reveal);
    // Selects the row, clamped to the list, and scrolls it into view.
    void selectRowInView(int row);
    // The rows the table shows whole: the step of PageUp and PageDown.
    int rowsPerPage() const;
    // A status message. Too wide for the line, it is shortened in its middle; one about a
    // result is shortened only where it names the result's path or name.
    void showStatus(const QString& text);
    void showStatus(const QString& text, const nexdir::SearchResult& about);
    // A query's count line, which says so while the index is being built or changed.
    void showCount();
    // Why a query found nothing, when a word of it names an excluded folder; else empty.
    QString excludedByQuery(const QString& query) const;
    void showStatistics(const Statistics& statistics);
    // The Options submenu of the application's menu.
    QMenu* optionsMenu() const;
    // Whether the line shows the index's status, and that status leads to Index Coverage.
    bool statusLeadsToCoverage() const;

    nexdir::NameSearch& names_;
    QString trashDirectory_;
    nexdir::DispatchQueue& searchQueue_;
    SearchFunction search_;

    ResultsModel* model_;
    QLineEdit* searchField_ = nullptr;
    QTableView* table_ = nullptr;
    StatusLabel* statusLabel_ = nullptr;
    QLabel* statisticsLabel_ = nullptr;
    QPushButton* searchModeButton_ = nullptr;
    QPushButton* largeFilesModeButton_ = nullptr;
    QLabel* modeTitle_ = nullptr; // in the search field's place in the largest-files mode
    QToolButton* trashButton_ = nullptr;
    QAction* trashMenuItem_ = nullptr; // "Move to Trash…" of the result's menu
    QMenu* contextMenu_ = nullptr;
    QMenu* openWithMenu_ = nullptr;
    QMenu* panelMenu_ = nullptr; // the application's, away from any result; not owned
    QToolButton* menuButton_ = nullptr;
    StatusIndicator* indexIndicator_ = nullptr;
    StatusIndicator* diskIndicator_ = nullptr;
    QToolButton* resourcesButton_ = nullptr;
    ResourcePanel* resourcePanel_ = nullptr;
    StatisticsFunction statistics_;
    std::function<bool()> canCheckUpdates_;
    std::function<void()> checkUpdates_;
    std::function<std::vector<std::string>()> customExclusions_;
    double lastStatisticsRefresh_ = -1e9;
    QTimer pendingStatistics_; // the read a throttled refresh still owes
    // The count of the query shown ("12 results • 3.10 ms"); empty while none is.
    QString countLine_;
    bool reducedMotion_ = false;

    uint64_t searchGeneration_ = 0;
    std::shared_ptr<nexdir::SearchCancellation> activeSearch_;
    QTimer pendingSearch_; // the debounced query not yet started
    QString pendingQuery_;
    bool pendingPreservesSelection_ = false;
    QTimer pendingRefresh_; // the coalesced refresh after index changes
    bool refreshAfterSearch_ = false;
    bool isLoading_ = false;
    int pageLimit_ = searchLimit; // how many results the query shows
    bool moreResults_ = false;    // more match than are shown
    SettingsDefaults settings_; // the list's order, kept across launches
    ResultOrder order_ = ResultOrder::relevance;
    bool ascending_ = true;
    QString savedSearchQuery_;
    QString indexStatus_ = "Indexing has not started";
    std::set<std::string> movedToTrash_;
    Mode mode_ = Mode::search;
    // The measurement of sizes on disk running on the allocation queue; replaced, not
    // cancelled, by a new one: whatever starts new work cancels it first.
    std::shared_ptr<nexdir::SearchCancellation> allocationCancellation_;
    bool trashOperationPending_ = false;
    bool trashSizePending_ = false;
    bool trashRefreshAgain_ = false; // forced while measuring: once more when it ends
    std::optional<double> lastTrashMeasure_; // uptime the last measurement started
    QTimer trashRefreshTimer_;
    QPoint dragOffset_;
    // Last: stopped first, so that no read outlives what it reports to.
    nexdir::DispatchQueue statisticsQueue_{"nexdir.statistics"};
    nexdir::DispatchQueue allocationQueue_{"quelmo.allocations",
                                           nexdir::DispatchQueue::Priority::utility};
    nexdir::DispatchQueue trashQueue_{"quelmo.trash", nexdir::DispatchQueue::Priority::utility};
};

} // namespace quelmo
