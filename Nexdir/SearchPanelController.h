#pragma once

#include "DispatchQueue.h"
#include "NameSearch.h"
#include "ResultsModel.h"
#include "SearchCancellation.h"

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

class StatusLabel;

// The search panel: a dark floating window where a query typed into the field lists the
// matching files and folders as you type, and every action on a result is one key away.
//
// Everything here lives on the main thread. Queries run on the search queue; their answers
// come back to the main thread and are shown only while their generation is current, so a
// slower, older query never overwrites a newer one.
class SearchPanelController : public QWidget {
    Q_OBJECT
public:
    using SearchFunction = std::function<nexdir::SearchResponse(
        const std::string& query, int limit, const std::shared_ptr<nexdir::SearchCancellation>&)>;

    SearchPanelController(nexdir::NameSearch& names, QString trashDirectory,
                          nexdir::DispatchQueue& searchQueue, QWidget* parent = nullptr);
    ~SearchPanelController() override;

    void toggle();
    void showPanel();
    void hidePanel();
    void setIndexStatus(const QString& status);
    // The index changed: rerun the current query, coalesced to one per half second and
    // deferred while a query runs.
    void refreshResults();
    std::optional<nexdir::SearchResult> selectedResult() const;

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

    static constexpr int searchLimit = 50;
    static constexpr int debounceMilliseconds = 80;
    static constexpr int refreshMilliseconds = 500;

Q_SIGNALS:
    // A query's answer (or failure) of the current generation was shown.
    void searchSettled();
    // The panel was brought up: the user is here.
    void shown();

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
    void runSearch(const QString& query, bool preservingSelection);
    void startPendingSearch();
    void finishSearch(uint64_t generation, std::optional<nexdir::SearchResponse> response,
                      QString error, bool preservingSelection);
    void displayResults(std::vector<nexdir::SearchResult> results, bool preservingSelection);
    void performRefresh();
    void activateSelectedFromKeyboard(bool reveal);
    // Selects the row, clamped to the list, and scrolls it into view.
    void selectRowInView(int row);
    // The rows the table shows whole: the step of PageUp and PageDown.
    int rowsPerPage() const;
    // A status message. Too wide for the line, it is shortened in its middle; one about a
    // result is shortened only where it names the result's path or name.
    void showStatus(const QString& text);
    void showStatus(const QString& text, const nexdir::SearchResult& about);

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
    QMenu* contextMenu_ = nullptr;
    QMenu* openWithMenu_ = nullptr;
    QMenu* panelMenu_ = nullptr; // the application's, away from any result; not owned
    QToolButton* menuButton_ = nullptr;

    uint64_t searchGeneration_ = 0;
    std::shared_ptr<nexdir::SearchCancellation> activeSearch_;
    QTimer pendingSearch_; // the debounced query not yet started
    QString pendingQuery_;
    bool pendingPreservesSelection_ = false;
    QTimer pendingRefresh_; // the coalesced refresh after index changes
    bool refreshAfterSearch_ = false;
    bool isLoading_ = false;
    QString savedSearchQuery_;
    QString indexStatus_ = "Indexing has not started";
    std::set<std::string> movedToTrash_;
    QPoint dragOffset_;
};

} // namespace quelmo
