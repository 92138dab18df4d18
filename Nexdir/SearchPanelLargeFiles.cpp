// The panel's largest-files mode, and the measurement of sizes on disk that serves it and the
// search results.

#include "SearchPanelController.h"

#include "Clock.h"
#include "DebugLog.h"
#include "Format.h"
#include "MeasuredFile.h"
#include "NexdirError.h"
#include "StatusLabel.h"

#include <QApplication>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QTableView>
#include <QToolButton>

namespace quelmo {

void SearchPanelController::buildModeTitle() {
    modeTitle_ = new QLabel("Largest individual files");
    modeTitle_->setFont(searchField_->font());
    modeTitle_->setFixedHeight(searchField_->height());
    modeTitle_->setMinimumWidth(1); // a long title is cut, not the segments
    modeTitle_->setStyleSheet("color: #ebebeb;");
    modeTitle_->hide();
}

void SearchPanelController::modeChanged(int segment) {
    if (segment != int(Mode::search) && segment != int(Mode::largeFiles)) {
        return;
    }
    Mode mode = Mode(segment);
    if (mode == mode_) {
        return;
    }
    mode_ = mode;
    // The segments follow the mode also when it changes otherwise than by a click.
    (mode == Mode::search ? searchModeButton_ : largeFilesModeButton_)->setChecked(true);
    bool largeFiles = mode == Mode::largeFiles;
    model_->setResults({});
    model_->setShowsBars(largeFiles);
    trashButton_->setVisible(largeFiles);
    trashMenuItem_->setVisible(largeFiles);
    ++searchGeneration_;
    QHeaderView* header = table_->horizontalHeader();
    header->setSectionsClickable(!largeFiles);
    if (largeFiles) {
        savedSearchQuery_ = searchField_->text();
        countLine_.clear();
        searchField_->hide();
        modeTitle_->show();
        model_->setQuery({});
        model_->setNameTitle("Name");
        model_->setSizeTitle("Size \u2193");
        header->setSortIndicatorShown(false);
        table_->setFocus();
        loadLargestFiles(true);
    } else {
        modeTitle_->hide();
        searchField_->show();
        model_->setSizeTitle("Size");
        showSortIndicator();
        // The field's text is the saved query already unless the field was changed meanwhile;
        // setting it runs no query of its own, as it equals the saved one.
        searchField_->setText(savedSearchQuery_);
        searchField_->setFocus();
        searchField_->selectAll();
        runSearch(savedSearchQuery_, false);
    }
}

void SearchPanelController::loadLargestFiles(bool forceTrashMeasure) {
    refreshTrashSize(forceTrashMeasure);
    uint64_t generation = beginLoading();
    if (model_->results().empty()) {
        showStatus("Loading largest indexed files\u2026");
    }
    QPointer<SearchPanelController> panel(this);
    nexdir::SearchIndex& index = names_.index();
    // A refresh after the index changed leaves the line to what it says, unless it measures:
    // a message such as "Moved … to Trash." stays until the user reads it.
    bool quiet = !forceTrashMeasure;
    searchQueue_.async([panel, &index, generation, quiet] {
        std::optional<nexdir::SearchResponse> response;
        QString error;
        try {
            response = index.largestFiles(largestFilesLimit, 0, true);
        } catch (const std::exception& failure) {
            error = QString::fromStdString(failure.what());
        }
        QMetaObject::invokeMethod(
            qApp,
            [panel, generation, response, error, quiet] {
                if (panel) {
                    panel->finishLargestFiles(generation, response, error, quiet);
                }
            },
            Qt::QueuedConnection);
    });
}

void SearchPanelController::finishLargestFiles(uint64_t generation,
                                               std::optional<nexdir::SearchResponse> response,
                                               QString error, bool quiet) {
    if (generation != searchGeneration_) {
        return;
    }
    isLoading_ = false;
    if (!response) {
        showStatus(error);
        return;
    }
    if (mode_ != Mode::largeFiles) {
        return;
    }
    if (refreshAfterSearch_) {
        refreshAfterSearch_ = false;
        refreshResults();
    }
    displayResults(std::move(response->results), true);
    measureAllocation(generation, quiet);
    if (!quiet) {
        showStatus("Largest indexed files \u2022 checking disk usage\u2026");
    }
}

void SearchPanelController::whileMeasurementCurrent(
    uint64_t generation, std::shared_ptr<nexdir::SearchCancellation> token,
    std::function<void(SearchPanelController&)> show) {
    QPointer<SearchPanelController> panel(this);
    QMetaObject::invokeMethod(
        qApp,
        [panel, generation, token, show] {
            if (panel && panel->searchGeneration_ == generation && !token->isCancelled()) {
                show(*panel);
            }
        },
        Qt::QueuedConnection);
}

void SearchPanelController::measureAllocation(uint64_t generation, bool quiet) {
    auto token = std::make_shared<nexdir::SearchCancellation>();
    allocationCancellation_ = token;
    QPointer<SearchPanelController> panel(this);
    nexdir::SearchIndex& index = names_.index();
    auto keepGoing = [token] { return !token->isCancelled(); };
    allocationQueue_.async([this, panel, &index, generation, token, keepGoing, quiet] {
        auto showList = [&](nexdir::SearchResponse response, QString status) {
            whileMeasurementCurrent(
                generation, token,
                [response = std::move(response), status](SearchPanelController& shown) mutable {
                    shown.displayResults(std::move(response.results), true);
                    if (!status.isEmpty()) {
                        shown.showStatus(status);
                    }
                });
        };
        double lastRefresh = nexdir::uptimeSeconds();
        int64_t checked = 0;
        auto afterBatch = [&](const nexdir::MeasurementTally& tally) {
            checked = tally.checked;
            // Closing the panel ends the measurement within a batch.
            QMetaObject::invokeMethod(
                qApp,
                [panel, token] {
                    if (!panel || !panel->isVisible()) {
                        token->cancel();
                    }
                },
                Qt::QueuedConnection);
            double now = nexdir::uptimeSeconds();
            if (now - lastRefresh >= measurementRefreshSeconds && keepGoing()) {
                showList(index.largestFiles(largestFilesLimit, 0, true),
                         "Measuring disk usage \u2022 " +
                             QString::fromStdString(nexdir::groupedNumber(tally.checked)) +
                             " files checked \u2022 results still updating");
                lastRefresh = now;
            }
        };
        try {
            nexdir::measureUnmeasuredFiles(index, measurementBatch, keepGoing, afterBatch, true);
            if (keepGoing()) {
                showList(index.largestFiles(largestFilesLimit, 0, true),
                         quiet && checked == 0
                             ? QString()
                             : QString("Largest indexed files \u2022 sorted by space on disk "
                                       "\u2022 unavailable sizes last"));
            }
        } catch (const std::exception&) {
            nexdir::DebugLog::write("disk usage measurement failed checked=" +
                                    std::to_string(checked));
            whileMeasurementCurrent(generation, token, [](SearchPanelController& shown) {
                shown.showStatus("Disk usage measurement incomplete \u2022 reopen Large Files "
                                 "to retry");
            });
        }
    });
}

void SearchPanelController::measureSearchAllocations(std::vector<nexdir::SearchResult> results,
                                                     uint64_t generation) {
    std::vector<nexdir::SearchResult> unmeasured;
    for (const nexdir::SearchResult& result : results) {
        if (!result.isDirectory && !result.allocatedSize) {
            unmeasured.push_back(result);
        }
    }
    if (unmeasured.empty()) {
        return;
    }
    auto token = std::make_shared<nexdir::SearchCancellation>();
    allocationCancellation_ = token;
    nexdir::SearchIndex& index = names_.index();
    allocationQueue_.async([this, &index, results = std::move(results),
                            unmeasured = std::move(unmeasured), generation, token]() mutable {
        std::vector<nexdir::MeasuredFile> measured =
            nexdir::MeasuredFile::measure(unmeasured, [token] { return !token->isCancelled(); });
        if (token->isCancelled()) {
            return;
        }
        std::unordered_map<int64_t, int64_t> sizes;
        for (const nexdir::MeasuredFile& file : measured) {
            if (file.usage) {
                sizes[file.file.id] = file.usage->bytes;
            }
        }
        for (nexdir::SearchResult& result : results) {
            if (auto size = sizes.find(result.id); size != sizes.end()) {
                result.allocatedSize = size->second;
            }
        }
        try {
            index.saveDiskUsage(measured);
        } catch (const nexdir::NexdirError& error) {
            nexdir::DebugLog::write("search disk usage save failed errorCode=" +
                                    std::to_string(error.code()));
        } catch (const std::exception&) {
            nexdir::DebugLog::write("search disk usage save failed errorCode=0");
        }
        whileMeasurementCurrent(
            generation, token,
            [results = std::move(results)](SearchPanelController& shown) mutable {
                shown.displayResults(std::move(results), true);
            });
    });
}

} // namespace quelmo
