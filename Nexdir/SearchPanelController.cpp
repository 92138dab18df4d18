#include "SearchPanelController.h"

#include "Actions.h"
#include "ApplicationChooser.h"
#include "AppStrings.h"
#include "PathText.h"
#include "Query.h"
#include "ExclusionRules.h"
#include "Paths.h"
#include "Format.h"
#include "ResourcePanel.h"
#include "ResultDelegates.h"
#include "StatusIndicator.h"
#include "StatusLabel.h"
#include "Clock.h"

#include <QAction>
#include <QApplication>
#include <QButtonGroup>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QMenu>
#include <QPushButton>
#include <QRegularExpression>
#include <QScreen>
#include <QScrollBar>
#include <QTableView>
#include <QToolButton>
#include <QVBoxLayout>

#include <unistd.h>

namespace quelmo {

namespace {

const QColor background = QColor::fromRgbF(0.04, 0.04, 0.04);

// How long Quelmo stays inactive before the panel goes (see the constructor).
constexpr int inactiveGraceMilliseconds = 300;

const char* const menuStyle =
    "QMenu { background: #202020; color: #e6e6e6; border: 1px solid #3a3a3a; }"
    "QMenu::item { padding: 4px 24px 4px 16px; }"
    "QMenu::item:selected { background: #3a5ca0; }"
    "QMenu::item:disabled { color: #707070; }"
    "QMenu::separator { height: 1px; background: #3a3a3a; margin: 4px 8px; }";

bool exists(const std::string& path) {
    return access(path.c_str(), F_OK) == 0;
}

// What the results mark of a query: its words, not its filters and operators.
QString wordsToMark(const QString& query) {
    try {
        nexdir::ParsedQuery parsed = nexdir::parseQuery(query.toStdString(), 0);
        if (!parsed.plain) {
            QStringList words;
            for (const std::string& word : parsed.words) {
                words << QString::fromStdString(word);
            }
            return words.join(' ');
        }
    } catch (const nexdir::QueryError&) {
        // Not searched: nothing is shown to mark.
    }
    return query;
}

// The query language's filters and operators, one a line with an example, in a card under
// the search row that closes on the next click elsewhere.
void showQueryHelp(QWidget* button) {
    QWidget* panel = button->window();
    auto* card = new QFrame(panel, Qt::Popup);
    card->setAttribute(Qt::WA_DeleteOnClose);
    card->setAccessibleName("Search filters");
    card->setStyleSheet("QFrame { background: #202020; border: 1px solid #3a3a3a; }"
                        "QLabel { color: #e6e6e6; border: none; }");
    QString rows;
    for (const nexdir::QueryHelpLine& line : nexdir::queryHelp()) {
        rows += "<tr><td style='padding: 2px 14px 2px 0; white-space: pre'><b>" +
                QString(line.example).toHtmlEscaped() + "</b></td><td style='color: #a0a0a0'>" +
                QString(line.meaning).toHtmlEscaped() + "</td></tr>";
    }
    auto* text = new QLabel("<table>" + rows + "</table>");
    text->setTextFormat(Qt::RichText);
    text->setWordWrap(true);
    text->setTextInteractionFlags(Qt::TextSelectableByMouse);
    auto* layout = new QVBoxLayout(card);
    layout->setContentsMargins(14, 10, 14, 10);
    layout->addWidget(text);
    int margin = 12;
    card->setFixedWidth(panel->width() - 2 * margin);
    text->setFixedWidth(card->width() - 28);
    text->setFixedHeight(text->heightForWidth(text->width()));
    card->adjustSize();
    int below = button->mapTo(panel, QPoint(0, button->height())).y() + 6;
    card->move(panel->mapToGlobal(QPoint(margin, below)));
    card->show();
}

} // namespace

SearchPanelController::SearchPanelController(nexdir::NameSearch& names, QString trashDirectory,
                                             nexdir::DispatchQueue& searchQueue, QWidget* parent)
    : QWidget(parent, Qt::Tool | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint), names_(names),
      trashDirectory_(std::move(trashDirectory)), searchQueue_(searchQueue),
      model_(new ResultsModel(this)) {
    search_ = [this](const std::string& query, int limit,
                     const std::shared_ptr<nexdir::SearchCancellation>& token) {
        return names_.search(query, limit, token);
    };
    pendingSearch_.setSingleShot(true);
    connect(&pendingSearch_, &QTimer::timeout, this, &SearchPanelController::startPendingSearch);
    pendingStatistics_.setSingleShot(true);
    connect(&pendingStatistics_, &QTimer::timeout, this, [this] { refreshStatistics(false); });
    pendingRefresh_.setSingleShot(true);
    connect(&pendingRefresh_, &QTimer::timeout, this, &SearchPanelController::performRefresh);
    // While the largest-files list is up, the Trash's size follows what the user (or another
    // program) puts into it or empties.
    trashRefreshTimer_.setInterval(trashTimerMilliseconds);
    connect(&trashRefreshTimer_, &QTimer::timeout, this, [this] {
        if (isVisible() && mode_ == Mode::largeFiles && !trashSizePending_) {
            refreshTrashSize(true);
        }
    });
    trashRefreshTimer_.start();
    reducedMotion_ = desktopReducesMotion();
    buildWindow();
    buildContextMenu();
    qApp->installEventFilter(this);
    // A floating panel goes away when the user turns to another application. Not at once:
    // the panel hidden and shown again at once (Escape, then a launch) loses the focus and
    // gets it back, and the notice of the loss can come after the panel is shown again, just
    // before the one of the gain.
    connect(qApp, &QGuiApplication::applicationStateChanged, this,
            [this](Qt::ApplicationState state) {
                if (state != Qt::ApplicationInactive) {
                    return;
                }
                QTimer::singleShot(inactiveGraceMilliseconds, this, [this] {
                    if (QGuiApplication::applicationState() != Qt::ApplicationActive &&
                        isVisible() && !QApplication::activeModalWidget() &&
                        !QApplication::activePopupWidget()) {
                        hidePanel();
                    }
                });
            });
}

SearchPanelController::~SearchPanelController() {
    qApp->removeEventFilter(this);
    if (activeSearch_) {
        activeSearch_->cancel();
    }
    if (allocationCancellation_) {
        allocationCancellation_->cancel();
    }
}

void SearchPanelController::buildWindow() {
    setWindowTitle("Quelmo");
    resize(780, 470);
    QPalette colors = palette();
    colors.setColor(QPalette::Window, background);
    colors.setColor(QPalette::Base, background);
    colors.setColor(QPalette::WindowText, QColor(150, 150, 150));
    colors.setColor(QPalette::Text, QColor(235, 235, 235));
    colors.setColor(QPalette::PlaceholderText, QColor(120, 120, 120));
    colors.setColor(QPalette::Button, QColor(40, 40, 40));
    colors.setColor(QPalette::ButtonText, QColor(220, 220, 220));
    colors.setColor(QPalette::Disabled, QPalette::ButtonText, QColor(95, 95, 95));
    colors.setColor(QPalette::Highlight, QColor(58, 92, 160));
    colors.setColor(QPalette::HighlightedText, Qt::white);
    setPalette(colors);
    setAutoFillBackground(true);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(22, 16, 22, 10);
    layout->setSpacing(8);

    auto* searchRow = new QHBoxLayout;
    searchField_ = new QLineEdit;
    searchField_->setFrame(false);
    searchField_->setFixedHeight(40);
    QFont fieldFont = searchField_->font();
    fieldFont.setPointSize(19);
    fieldFont.setWeight(QFont::DemiBold);
    searchField_->setFont(fieldFont);
    searchField_->setPlaceholderText("Search every indexed file\u2026");
    searchField_->setToolTip(
        "1\u20132 characters: starts with. Longer queries: contains every word.");
    searchField_->setClearButtonEnabled(true);
    // A screen reader names every control; Qt's line edit gives its clear button no name.
    searchField_->setAccessibleName("Search");
    for (QToolButton* clear : searchField_->findChildren<QToolButton*>()) {
        clear->setAccessibleName("Clear search");
    }
    connect(searchField_, &QLineEdit::textChanged, this,
            &SearchPanelController::searchFieldChanged);
    searchRow->addWidget(searchField_, 1);
    auto* queryHelpButton = new QToolButton;
    queryHelpButton->setText("?");
    queryHelpButton->setAccessibleName("Search filters");
    queryHelpButton->setToolTip("Filters and operators: ext:pdf, size:>100mb, dm:today, "
                                "in:Documents, file:, folder:, a | b, -word, \"phrase\", *.iso");
    queryHelpButton->setFocusPolicy(Qt::NoFocus); // typing stays in the field
    queryHelpButton->setFixedSize(30, 30);
    queryHelpButton->setStyleSheet("QToolButton { background: #282828; color: #dcdcdc;"
                                   " border: 1px solid #3a3a3a; border-radius: 15px; }");
    connect(queryHelpButton, &QToolButton::clicked, this,
            [queryHelpButton] { showQueryHelp(queryHelpButton); });
    searchRow->addWidget(queryHelpButton);

    searchModeButton_ = new QPushButton("Search");
    largeFilesModeButton_ = new QPushButton("Large Files");
    for (QPushButton* button : {searchModeButton_, largeFilesModeButton_}) {
        button->setCheckable(true);
        button->setFocusPolicy(Qt::NoFocus); // see the table's focus below
        button->setFixedWidth(85);
        searchRow->addWidget(button);
    }
    searchModeButton_->setChecked(true);
    // One mode is always on: a click on the active segment leaves it on.
    auto* modes = new QButtonGroup(this);
    modes->addButton(searchModeButton_);
    modes->addButton(largeFilesModeButton_);
    for (QPushButton* button : {searchModeButton_, largeFilesModeButton_}) {
        button->setStyleSheet(
            "QPushButton { background: #282828; color: #dcdcdc; border: 1px solid #3a3a3a;"
            " border-radius: 5px; padding: 3px 8px; }"
            "QPushButton:checked { background: #3a5ca0; color: white; }"
            "QPushButton:disabled { color: #5f5f5f; }");
    }
    // Toggled rather than clicked: a screen reader's toggle action switches modes too.
    for (QPushButton* button : {searchModeButton_, largeFilesModeButton_}) {
        connect(button, &QPushButton::toggled, this, [this, button](bool on) {
            if (on) {
                modeChanged(int(button == largeFilesModeButton_ ? Mode::largeFiles : Mode::search));
            }
        });
    }
    buildModeTitle();
    searchRow->insertWidget(1, modeTitle_, 1);
    layout->addLayout(searchRow);

    table_ = new QTableView;
    table_->setAccessibleName("Results");
    table_->setModel(model_);
    table_->setItemDelegateForColumn(ResultsModel::nameColumn, new FileNameDelegate(table_));
    table_->setItemDelegateForColumn(ResultsModel::sizeColumn, new SizeBarDelegate(table_));
    table_->verticalHeader()->hide();
    table_->verticalHeader()->setDefaultSectionSize(54);
    QHeaderView* header = table_->horizontalHeader();
    header->setSectionResizeMode(ResultsModel::nameColumn, QHeaderView::Stretch);
    header->setSectionResizeMode(ResultsModel::modifiedColumn, QHeaderView::Fixed);
    header->setSectionResizeMode(ResultsModel::sizeColumn, QHeaderView::Fixed);
    header->setMinimumSectionSize(120);
    table_->setColumnWidth(ResultsModel::modifiedColumn, 130);
    table_->setColumnWidth(ResultsModel::sizeColumn, 180);
    header->setSectionsClickable(true);
    header->setHighlightSections(false);
    header->setFocusPolicy(Qt::NoFocus);
    header->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    header->setStyleSheet("QHeaderView::section { background: #141414; color: #9a9a9a;"
                          " border: none; border-bottom: 1px solid #2a2a2a; padding: 2px 8px; }");
    connect(header, &QHeaderView::sectionClicked, this, &SearchPanelController::sortByColumn);
    // Folder has no column of its own (it is the name cell's second line): the header's menu
    // offers every order.
    header->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(header, &QHeaderView::customContextMenuRequested, this, [this, header](QPoint at) {
        if (mode_ != Mode::search) {
            return; // the largest files are listed by space on disk only
        }
        QMenu orders;
        orders.setStyleSheet(menuStyle);
        for (ResultOrder order : {ResultOrder::relevance, ResultOrder::name, ResultOrder::folder,
                                  ResultOrder::modified, ResultOrder::size}) {
            QAction* item = orders.addAction(orderTitle(order), this, [this, order] {
                setResultOrder(order, order == ResultOrder::name || order == ResultOrder::folder);
            });
            item->setCheckable(true);
            item->setChecked(order == order_);
        }
        orders.exec(header->mapToGlobal(at));
    });
    int64_t saved = settings_.integer(sortOrderKey);
    order_ = saved >= 0 && saved <= int(ResultOrder::size) ? ResultOrder(saved)
                                                            : ResultOrder::relevance;
    // Only an order chosen by the user is read with its direction, and both were saved then.
    ascending_ = settings_.boolean(sortAscendingKey);
    showSortIndicator();
    table_->setShowGrid(false);
    table_->setFrameShape(QFrame::NoFrame);
    table_->setSelectionBehavior(QAbstractItemView::SelectRows);
    table_->setSelectionMode(QAbstractItemView::SingleSelection);
    table_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    table_->setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    table_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    // The search field keeps the keyboard. The list and the segments are worked with the
    // mouse and with the panel's own keys (arrows, pages, Return), so typing after a click on
    // a row or a segment still goes into the query instead of being lost on them.
    table_->setFocusPolicy(Qt::NoFocus);
    table_->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(table_, &QTableView::doubleClicked, this, [this] { openSelected(); });
    connect(table_, &QTableView::customContextMenuRequested, this, [this](const QPoint& position) {
        QPoint at = table_->viewport()->mapToGlobal(position);
        QModelIndex row = table_->indexAt(position);
        if (row.isValid()) {
            popUpResultMenu(row.row(), at, false);
        } else {
            // Not a result's menu: the list fills most of the panel, so its empty space
            // offers the panel's own.
            popUpPanelMenu(at, false);
        }
    });
    // Reaching the end of the list loads the next page.
    connect(table_->verticalScrollBar(), &QScrollBar::valueChanged, this, [this](int value) {
        if (value > 0 && value == table_->verticalScrollBar()->maximum()) {
            loadMoreResults();
        }
    });
    layout->addWidget(table_, 1);

    auto* bottomRow = new QHBoxLayout;
    bottomRow->setSpacing(10);
    statusLabel_ = new StatusLabel;
    QFont small = statusLabel_->font();
    small.setPointSize(11);
    statusLabel_->setFont(small);
    statisticsLabel_ = new QLabel("Loading index statistics\u2026");
    statisticsLabel_->setFont(small);
    connect(statusLabel_, &StatusLabel::clicked, this, [this] {
        if (statusLeadsToCoverage()) {
            Q_EMIT coverageRequested();
        }
    });
    indexIndicator_ = new StatusIndicator(StatusIndicator::Symbol::index);
    diskIndicator_ = new StatusIndicator(StatusIndicator::Symbol::disk);
    diskIndicator_->setTitle("Disk");
    diskIndicator_->setCardTitle("Disk");
    // The status has a line of its own: it is the longest text and the one read most.
    auto* statusRow = new QHBoxLayout;
    statusRow->addWidget(statusLabel_, 1);
    statusRow->addWidget(statisticsLabel_);
    layout->addLayout(statusRow);
    bottomRow->addWidget(indexIndicator_);
    bottomRow->addWidget(diskIndicator_);
    bottomRow->addStretch(1);
    buildTrashButton();
    trashButton_->setFont(small);
    bottomRow->addWidget(trashButton_);
    resourcesButton_ = new QToolButton;
    resourcesButton_->setText("Index \u00b7 \u2026");
    resourcesButton_->setToolTip("Quelmo resources");
    resourcesButton_->setFont(small);
    resourcesButton_->setFocusPolicy(Qt::NoFocus); // see the table's focus above
    resourcesButton_->setAutoRaise(true);
    connect(resourcesButton_, &QToolButton::clicked, this, &SearchPanelController::showResources);
    bottomRow->addWidget(resourcesButton_);
    ResourcePanel::Callbacks resources;
    resources.refreshIndexSize = [this] { refreshStatistics(false); };
    resources.optionsMenu = [this] { return optionsMenu(); };
    resources.canCheckUpdates = [this] { return canCheckUpdates_ && canCheckUpdates_(); };
    resources.checkUpdates = [this] {
        if (checkUpdates_) {
            checkUpdates_();
        }
    };
    resourcePanel_ = new ResourcePanel(std::move(resources), this);
    menuButton_ = new QToolButton;
    menuButton_->setText("Menu");
    menuButton_->setToolTip("Quelmo's menu (F10)");
    menuButton_->setFocusPolicy(Qt::NoFocus); // see the table's focus above
    menuButton_->setAutoRaise(true);
    menuButton_->setEnabled(false); // until the application gives its menu
    connect(menuButton_, &QToolButton::clicked, this, [this] { popUpPanelMenu({}, false); });
    bottomRow->addWidget(menuButton_);
    layout->addLayout(bottomRow);
    QString initial = indexStatus_;
    indexStatus_.clear();
    setIndexStatus(initial);
}

void SearchPanelController::buildContextMenu() {
    contextMenu_ = new QMenu(this);
    contextMenu_->setStyleSheet(menuStyle);
    contextMenu_->addAction("Open", this, &SearchPanelController::openSelected);
    openWithMenu_ = contextMenu_->addMenu("Open With");
    connect(openWithMenu_, &QMenu::aboutToShow, this, &SearchPanelController::fillOpenWithMenu);
    contextMenu_->addAction(strings::revealInFileManager, this,
                            &SearchPanelController::revealSelected);
    contextMenu_->addSeparator();
    contextMenu_->addAction("Copy Path", this, &SearchPanelController::copySelectedPath);
    contextMenu_->addSeparator();
    trashMenuItem_ = contextMenu_->addAction("Move to Trash\u2026", this,
                                             &SearchPanelController::moveSelectedToTrash);
    trashMenuItem_->setVisible(false);
}

void SearchPanelController::setPanelMenu(QMenu* menu, const QList<QAction*>& keyed) {
    panelMenu_ = menu;
    panelMenu_->setStyleSheet(menuStyle);
    // The keys shown in the menu work while the panel has the keyboard. Ctrl+Q is Ctrl+Q as
    // such, not the platform's Quit binding, which some key schemes leave empty.
    addActions(keyed);
    menuButton_->setEnabled(true);
    setContextMenuPolicy(Qt::CustomContextMenu);
    connect(this, &QWidget::customContextMenuRequested, this,
            [this](const QPoint& position) { popUpPanelMenu(mapToGlobal(position), false); });
}

namespace {

void popUp(QMenu* menu, QPoint at, bool fromKeyboard) {
    menu->popup(at);
    if (fromKeyboard) {
        for (QAction* item : menu->actions()) {
            if (item->isVisible() && item->isEnabled() && !item->isSeparator()) {
                menu->setActiveAction(item);
                break;
            }
        }
    }
}

} // namespace

void SearchPanelController::popUpPanelMenu(std::optional<QPoint> at, bool fromKeyboard) {
    if (!panelMenu_) {
        return;
    }
    // From the button, the menu rises from the bottom right corner of the panel.
    QPoint corner = menuButton_->mapToGlobal(QPoint(menuButton_->width(), 0));
    popUp(panelMenu_, at.value_or(corner - QPoint(panelMenu_->sizeHint().width(),
                                                   panelMenu_->sizeHint().height())),
          fromKeyboard);
}

void SearchPanelController::popUpResultMenu(int row, QPoint at, bool fromKeyboard) {
    table_->selectRow(row);
    // Open With is for files: a folder is the file manager's, and every application the
    // chooser lists is one for files.
    openWithMenu_->menuAction()->setVisible(!model_->results()[size_t(row)].isDirectory);
    // The item and the separator above it belong to the largest-files list alone.
    QList<QAction*> items = contextMenu_->actions();
    for (QAction* item : {trashMenuItem_, items[items.indexOf(trashMenuItem_) - 1]}) {
        item->setVisible(mode_ == Mode::largeFiles);
    }
    trashMenuItem_->setEnabled(canMoveSelectedToTrash());
    popUp(contextMenu_, at, fromKeyboard);
}

void SearchPanelController::fillOpenWithMenu() {
    openWithMenu_->clear();
    auto result = selectedResult();
    if (!result || result->isDirectory) {
        return;
    }
    auto applications = Actions::applicationsFor(result->path);
    for (const auto& application : applications) {
        openWithMenu_->addAction(
            application.icon, application.name, this, [this, file = *result, application] {
                if (auto failure = Actions::openWithApplication(file.path, application.id)) {
                    showStatus("Could not open file: " + *failure, file);
                } else {
                    hidePanel();
                }
            });
    }
    if (!applications.empty()) {
        openWithMenu_->addSeparator();
    }
    openWithMenu_->addAction("Other\u2026", this, &SearchPanelController::chooseApplication);
}

void SearchPanelController::toggle() {
    if (isVisible()) {
        hidePanel();
    } else {
        showPanel();
    }
}

void SearchPanelController::showPanel() {
    Q_EMIT shown();
    if (!isVisible()) {
        if (QScreen* screen = QGuiApplication::primaryScreen()) {
            move(screen->availableGeometry().center() - rect().center());
        }
    }
    show();
    raise();
    activateWindow();
    if (mode_ == Mode::largeFiles) {
        table_->setFocus();
        loadLargestFiles(true);
    } else {
        searchField_->setFocus();
        searchField_->selectAll();
        runSearch(searchField_->text(), false);
    }
    refreshStatistics(true);
}

void SearchPanelController::hidePanel() {
    // A hidden panel measures nothing: reopening the list carries on where this stopped.
    if (allocationCancellation_) {
        allocationCancellation_->cancel();
    }
    hide();
}

void SearchPanelController::setIndexStatus(const QString& status) {
    if (status == indexStatus_) {
        return;
    }
    indexStatus_ = status;
    IndexStatusLook look = IndexStatusLook::of(status);
    indexIndicator_->setTitle(look.title);
    indexIndicator_->setDetail(status);
    indexIndicator_->setStatusText(status);
    indexIndicator_->setTint(look.degraded ? warningTint() : healthyTint());
    indexIndicator_->setBusy(look.busy && !reducedMotion_);
    indexIndicator_->refreshCard();
    if (mode_ == Mode::largeFiles) {
        // The line tells how the list's measurement goes.
    } else if (searchField_->text().trimmed().isEmpty()) {
        showStatus(status);
    } else if (!countLine_.isEmpty()) {
        showCount();
    }
    refreshStatistics(false);
}

void SearchPanelController::showCount() {
    // Results read while a scan or an exclusion change rewrites the index lack what it has
    // not reached yet.
    bool incomplete = IndexStatusLook::of(indexStatus_).title == "Indexing" ||
                      indexStatus_.startsWith("Updating excluded folders");
    showStatus(incomplete ? countLine_ + " \u2022 results may be incomplete" : countLine_);
}

QString SearchPanelController::excludedByQuery(const QString& query) const {
    std::vector<std::string> custom =
        customExclusions_ ? customExclusions_() : std::vector<std::string>();
    for (const QString& word : query.split(QRegularExpression("\\s+"), Qt::SkipEmptyParts)) {
        QString named;
        if (nexdir::ExclusionRules::isExcludedEverywhere(word.toStdString())) {
            named = word;
        }
        for (const std::string& path : custom) {
            QString shown = displayedPath(path);
            if (shown.section('/', -1).compare(word, Qt::CaseInsensitive) == 0) {
                named = shown;
            }
        }
        if (!named.isEmpty()) {
            return named + " is excluded from the index \u2022 Index Coverage\u2026";
        }
    }
    return {};
}

void SearchPanelController::refreshStatistics(bool force) {
    double now = nexdir::uptimeSeconds();
    if (!statistics_) {
        return;
    }
    double wait = lastStatisticsRefresh_ + statisticsIntervalSeconds - now;
    if (!force && wait > 0) {
        // The last status of a burst must still be counted: one read follows the interval.
        if (!pendingStatistics_.isActive()) {
            pendingStatistics_.start(int(wait * 1000) + 1);
        }
        return;
    }
    pendingStatistics_.stop();
    lastStatisticsRefresh_ = now;
    QPointer<SearchPanelController> panel(this);
    statisticsQueue_.async([panel, read = statistics_] {
        std::optional<Statistics> statistics;
        try {
            statistics = read();
        } catch (const std::exception&) {
        }
        QMetaObject::invokeMethod(
            qApp,
            [panel, statistics] {
                if (!panel) {
                    return;
                }
                if (statistics) {
                    panel->showStatistics(*statistics);
                } else {
                    panel->statisticsLabel_->setText("Statistics unavailable");
                }
            },
            Qt::QueuedConnection);
    });
}

void SearchPanelController::showStatistics(const Statistics& statistics) {
    const nexdir::IndexStatistics& index = statistics.index;
    auto text = [](const std::string& value) { return QString::fromStdString(value); };
    QString size = text(nexdir::formatFileBytes(index.indexBytes));
    resourcesButton_->setText("Index \u00b7 " + size);
    resourcePanel_->setIndexSize(size);
    QString total = text(nexdir::groupedNumber(index.indexedItems));
    statisticsLabel_->setText(total + " items indexed");
    indexIndicator_->setDetail(total + " indexed  \u2022  " + text(nexdir::groupedNumber(index.files)) +
                               " files  \u2022  " +
                               text(nexdir::groupedNumber(index.directories)) +
                               " folders  \u2022  Index: " + size + "\n\n" + indexStatus_);
    indexIndicator_->setCardTitle("Search index");
    auto share = [&](int64_t part) -> std::optional<double> {
        return index.indexedItems > 0 ? std::optional(double(part) / double(index.indexedItems))
                                      : std::nullopt;
    };
    indexIndicator_->setMetrics({{"Files", text(nexdir::groupedNumber(index.files)), share(index.files)},
                                 {"Folders", text(nexdir::groupedNumber(index.directories)),
                                  share(index.directories)},
                                 {"Index size", size, std::nullopt},
                                 {"Total indexed", total, std::nullopt}});
    const std::optional<nexdir::VolumeSpace>& disk = statistics.bootVolume;
    if (disk && disk->totalBytes > 0) {
        double free = double(disk->freeBytes) / double(disk->totalBytes);
        diskIndicator_->setTitle(text(disk->summary()));
        diskIndicator_->setTint(free < 0.1 ? warningTint() : healthyTint());
        QString freeText = text(nexdir::formatFileBytes(disk->freeBytes));
        diskIndicator_->setDetail(freeText + " free" + QString::asprintf(" \u2022 %.1f%% free", free * 100));
        diskIndicator_->setStatusText(text(disk->summary()));
        diskIndicator_->setMetrics(
            {{"Used", QString::asprintf("%.1f%%", (1 - free) * 100), 1 - free},
             {"Free", freeText, std::nullopt},
             {"Capacity", text(nexdir::formatFileBytes(disk->totalBytes)), std::nullopt}});
        diskIndicator_->setBusy(false);
    }
}

void SearchPanelController::showResources() {
    if (resourcePanel_->isVisible()) {
        resourcePanel_->hide();
        return;
    }
    refreshStatistics(true);
    // Above the button, its right edge on the button's.
    QPoint corner = resourcesButton_->mapToGlobal(QPoint(resourcesButton_->width(), 0));
    resourcePanel_->move(corner - QPoint(resourcePanel_->width(), resourcePanel_->height() + 4));
    resourcePanel_->show();
}

QMenu* SearchPanelController::optionsMenu() const {
    if (!panelMenu_) {
        return nullptr;
    }
    for (QAction* item : panelMenu_->actions()) {
        if (item->menu() && item->text() == "Options") {
            return item->menu();
        }
    }
    return nullptr;
}

void SearchPanelController::showStatus(const QString& text) {
    statusLabel_->setMessage(text, {text});
    statusLabel_->setCursor(statusLeadsToCoverage() ? Qt::PointingHandCursor : Qt::ArrowCursor);
}

bool SearchPanelController::statusLeadsToCoverage() const {
    // The texts that name the window, and those about folders left unwatched, which the
    // window explains with the command that ends it.
    QString shown = statusLabel_->text();
    return shown.startsWith(indexStatus_) && (shown.contains("Index Coverage\u2026") ||
                                              shown.contains("fs.inotify.max_user_watches"));
}

void SearchPanelController::showStatus(const QString& text, const nexdir::SearchResult& about) {
    statusLabel_->setMessage(text, {displayedPath(about.path), QString::fromStdString(about.name)});
}

void SearchPanelController::searchFieldChanged(const QString& text) {
    if (text == savedSearchQuery_) {
        return;
    }
    savedSearchQuery_ = text;
    runSearch(text, false);
}

uint64_t SearchPanelController::beginLoading() {
    uint64_t generation = ++searchGeneration_; // answers of every earlier load are stale now
    if (activeSearch_) {
        activeSearch_->cancel();
    }
    if (allocationCancellation_) {
        allocationCancellation_->cancel();
    }
    pendingSearch_.stop();
    isLoading_ = true;
    return generation;
}

void SearchPanelController::runSearch(const QString& query, bool preservingSelection) {
    if (!preservingSelection) {
        pageLimit_ = searchLimit; // a new query starts on its first page
    }
    beginLoading();
    if (query.trimmed().isEmpty()) {
        countLine_.clear();
        model_->setResults({});
        isLoading_ = false;
        showStatus(indexStatus_);
        return;
    }
    activeSearch_ = std::make_shared<nexdir::SearchCancellation>();
    if (!preservingSelection) {
        countLine_.clear();
        showStatus("Searching\u2026");
    }
    pendingQuery_ = query;
    pendingPreservesSelection_ = preservingSelection;
    pendingSearch_.start(debounceMilliseconds);
}

void SearchPanelController::startPendingSearch() {
    uint64_t generation = searchGeneration_;
    std::string query = pendingQuery_.toStdString();
    auto token = activeSearch_;
    bool preserving = pendingPreservesSelection_;
    SearchFunction search = search_;
    int limit = pageLimit_;
    searchQueue_.async([this, search, query, token, generation, preserving, limit] {
        std::optional<nexdir::SearchResponse> response;
        QString error;
        try {
            // One more than shown tells whether more match.
            response = search(query, limit + 1, token);
        } catch (const std::exception& failure) {
            error = QString::fromStdString(failure.what());
        }
        QMetaObject::invokeMethod(
            this,
            [this, generation, response, error, preserving, limit] {
                finishSearch(generation, response, error, preserving, limit);
            },
            Qt::QueuedConnection);
    });
}

void SearchPanelController::finishSearch(uint64_t generation,
                                         std::optional<nexdir::SearchResponse> response,
                                         QString error, bool preservingSelection, int limit) {
    if (generation != searchGeneration_) {
        return; // an older query: typing has moved on
    }
    isLoading_ = false;
    if (refreshAfterSearch_) {
        refreshAfterSearch_ = false;
        refreshResults();
    }
    if (response) {
        // The search answers at most maximumResults, so a full last page may hide more.
        moreResults_ = response->results.size() > size_t(limit) ||
                       response->results.size() >= size_t(maximumResults);
        if (response->results.size() > size_t(limit)) {
            response->results.resize(size_t(limit));
        }
        size_t count = response->results.size();
        model_->setQuery(wordsToMark(pendingQuery_));
        table_->viewport()->update();
        displayResults(std::move(response->results), preservingSelection);
        measureSearchAllocations(model_->results(), generation);
        QString excluded = count == 0 ? excludedByQuery(pendingQuery_) : QString();
        QString counted = !excluded.isEmpty() ? excluded
                          : count == 0         ? QString("No matches")
                          : count == 1 ? QString("1 result")
                                       : QString("%1%2 results")
                                             .arg(QLocale::system().toString(qlonglong(count)))
                                             .arg(moreResults_ ? "+" : "");
        countLine_ = counted + " \u2022 " +
                     QString::asprintf("%.2f", response->durationMilliseconds) + " ms";
        if (order_ != ResultOrder::relevance && moreResults_) {
            // Sorting reorders what is loaded, not every match.
            countLine_ += " \u2022 sorted: first " + QLocale::system().toString(qlonglong(count)) +
                          " of " + counted.section(' ', 0, 0);
        }
        showCount();
    } else {
        countLine_.clear();
        showStatus(error);
    }
    Q_EMIT searchSettled();
}

void SearchPanelController::displayResults(std::vector<nexdir::SearchResult> results,
                                           bool preservingSelection) {
    // A file restored from the Trash is shown again once it exists at its path.
    for (auto it = movedToTrash_.begin(); it != movedToTrash_.end();) {
        it = exists(*it) ? movedToTrash_.erase(it) : std::next(it);
    }
    std::vector<nexdir::SearchResult> shown;
    for (auto& result : results) {
        if (!movedToTrash_.count(result.path)) {
            shown.push_back(std::move(result));
        }
    }
    sortResults(shown);
    std::optional<int64_t> selectedID;
    if (auto selected = selectedResult()) {
        selectedID = selected->id;
    }
    int scroll = table_->verticalScrollBar()->value();
    if (shown != model_->results()) {
        model_->setResults(std::move(shown));
        if (preservingSelection) {
            table_->verticalScrollBar()->setValue(scroll);
        }
    }
    const auto& rows = model_->results();
    if (rows.empty()) {
        return;
    }
    int row = 0;
    if (preservingSelection && selectedID) {
        for (size_t i = 0; i < rows.size(); ++i) {
            if (rows[i].id == *selectedID) {
                row = int(i);
                break;
            }
        }
    }
    auto current = table_->selectionModel()->selectedRows();
    if (current.size() != 1 || current.front().row() != row) {
        table_->selectRow(row);
    }
}

QString SearchPanelController::orderTitle(ResultOrder order) {
    switch (order) {
    case ResultOrder::relevance:
        return "Best Matches";
    case ResultOrder::name:
        return "Name";
    case ResultOrder::folder:
        return "Folder";
    case ResultOrder::modified:
        return "Date Modified";
    case ResultOrder::size:
        return "Size";
    }
    return {};
}

void SearchPanelController::sortByColumn(int column) {
    ResultOrder order = column == ResultsModel::nameColumn       ? ResultOrder::name
                        : column == ResultsModel::modifiedColumn ? ResultOrder::modified
                                                                 : ResultOrder::size;
    // Again on the same column reverses it; names first A to Z, dates and sizes newest and
    // largest first.
    setResultOrder(order, order == order_ ? !ascending_ : order == ResultOrder::name);
}

void SearchPanelController::setResultOrder(ResultOrder order, bool ascending) {
    order_ = order;
    ascending_ = ascending;
    settings_.setInteger(sortOrderKey, int(order));
    settings_.setBoolean(sortAscendingKey, ascending);
    showSortIndicator();
    if (mode_ == Mode::search && !searchField_->text().trimmed().isEmpty()) {
        runSearch(searchField_->text(), true);
    }
}

void SearchPanelController::showSortIndicator() {
    QHeaderView* header = table_->horizontalHeader();
    int column = order_ == ResultOrder::modified ? ResultsModel::modifiedColumn
                 : order_ == ResultOrder::size   ? ResultsModel::sizeColumn
                                                 : ResultsModel::nameColumn;
    header->setSortIndicatorShown(order_ != ResultOrder::relevance);
    header->setSortIndicator(column, ascending_ ? Qt::AscendingOrder : Qt::DescendingOrder);
    model_->setNameTitle(order_ == ResultOrder::folder ? "Name (by folder)" : "Name");
}

void SearchPanelController::sortResults(std::vector<nexdir::SearchResult>& results) const {
    if (order_ == ResultOrder::relevance || mode_ == Mode::largeFiles) {
        return; // the largest files keep their ranking by space on disk
    }
    auto text = [](const std::string& value) { return QString::fromStdString(value); };
    auto folder = [](const nexdir::SearchResult& result) {
        return nexdir::parentPath(result.path);
    };
    auto before = [&](const nexdir::SearchResult& a, const nexdir::SearchResult& b) {
        switch (order_) {
        case ResultOrder::name:
            return QString::localeAwareCompare(text(a.name), text(b.name)) < 0;
        case ResultOrder::folder: {
            int byFolder = QString::localeAwareCompare(text(folder(a)), text(folder(b)));
            return byFolder != 0 ? byFolder < 0
                                 : QString::localeAwareCompare(text(a.name), text(b.name)) < 0;
        }
        case ResultOrder::modified:
            return a.modifiedAt < b.modifiedAt;
        case ResultOrder::size:
            return a.allocatedSize.value_or(a.size) < b.allocatedSize.value_or(b.size);
        case ResultOrder::relevance:
            break;
        }
        return false;
    };
    // Equal keys keep the ranking's order, whichever way the list is sorted.
    std::stable_sort(results.begin(), results.end(),
                     [&](const nexdir::SearchResult& a, const nexdir::SearchResult& b) {
                         return ascending_ ? before(a, b) : before(b, a);
                     });
}

void SearchPanelController::loadMoreResults() {
    if (mode_ != Mode::search || !moreResults_ || isLoading_ || pageLimit_ >= maximumResults ||
        searchField_->text().trimmed().isEmpty()) {
        return;
    }
    pageLimit_ = std::min(pageLimit_ + searchLimit, maximumResults);
    runSearch(searchField_->text(), true);
}

void SearchPanelController::refreshResults() {
    if (!isVisible() || pendingRefresh_.isActive()) {
        return;
    }
    if (isLoading_) {
        refreshAfterSearch_ = true;
        return;
    }
    pendingRefresh_.start(refreshMilliseconds);
}

void SearchPanelController::performRefresh() {
    if (!isVisible()) {
        return;
    }
    if (isLoading_) {
        refreshAfterSearch_ = true;
        return;
    }
    if (mode_ == Mode::largeFiles) {
        loadLargestFiles(false);
    } else {
        runSearch(searchField_->text(), true);
    }
}

std::optional<nexdir::SearchResult> SearchPanelController::selectedResult() const {
    auto rows = table_->selectionModel()->selectedRows();
    if (rows.size() != 1 || rows.front().row() >= int(model_->results().size())) {
        return std::nullopt;
    }
    return model_->results()[size_t(rows.front().row())];
}

void SearchPanelController::moveSelection(int step) {
    auto rows = table_->selectionModel()->selectedRows();
    int current = rows.size() == 1 ? rows.front().row() : 0;
    selectRowInView(current + step);
    if (current + step >= int(model_->results().size()) - 1) {
        loadMoreResults();
    }
}

void SearchPanelController::selectRowInView(int row) {
    int count = int(model_->results().size());
    if (count == 0) {
        return;
    }
    int target = std::clamp(row, 0, count - 1);
    table_->selectRow(target);
    table_->scrollTo(model_->index(target, 0));
}

int SearchPanelController::rowsPerPage() const {
    return std::max(1,
                    table_->viewport()->height() / table_->verticalHeader()->defaultSectionSize());
}

void SearchPanelController::activateSelectedFromKeyboard(bool reveal) {
    if (isLoading_) {
        return;
    }
    if (reveal) {
        revealSelected();
    } else {
        openSelected();
    }
}

void SearchPanelController::openSelected() {
    auto result = selectedResult();
    if (!result) {
        return;
    }
    if (auto failure = Actions::openWithDefault(result->path)) {
        showStatus("Could not open " + QString::fromStdString(result->name) + ": " + *failure,
                   *result);
    } else {
        hidePanel();
    }
}

void SearchPanelController::revealSelected() {
    auto result = selectedResult();
    if (!result) {
        return;
    }
    if (!exists(result->path)) {
        showStatus("File no longer exists: " + displayedPath(result->path), *result);
        return;
    }
    // The panel hides only once the folder is shown: with no file manager and nothing to open
    // folders, it stays to say why.
    if (auto failure = Actions::showInFolder(result->path)) {
        showStatus(strings::showInFolderFailed + QString::fromStdString(result->name) +
                       strings::showInFolderFailedReason + *failure,
                   *result);
        return;
    }
    hidePanel();
}

void SearchPanelController::copySelectedPath() {
    auto result = selectedResult();
    if (!result) {
        return;
    }
    QString path = copyablePath(result->path);
    QGuiApplication::clipboard()->setText(path);
    statusLabel_->setMessage("Copied " + path, {path});
}

void SearchPanelController::chooseApplication() {
    auto result = selectedResult();
    if (!result || result->isDirectory || !isVisible()) {
        return;
    }
    ApplicationChooser chooser(displayedPath(result->name),
                               Actions::installedApplications(result->path), this);
    if (chooser.exec() != QDialog::Accepted || chooser.chosenID().isEmpty()) {
        return;
    }
    if (auto failure = Actions::openWithApplication(result->path, chooser.chosenID())) {
        showStatus("Could not open file: " + *failure, *result);
    } else {
        hidePanel();
    }
}

void SearchPanelController::popUpSelectedResultMenu() {
    // The menu key and Shift+F10 open the selected result's menu, not the search field's
    // editing menu: the keyboard is in the field while the results are worked.
    auto rows = table_->selectionModel()->selectedRows();
    if (rows.size() != 1) {
        popUpPanelMenu({}, true);
        return;
    }
    int row = rows.front().row();
    table_->scrollTo(model_->index(row, 0));
    QRect cell = table_->visualRect(model_->index(row, 0));
    popUpResultMenu(row, table_->viewport()->mapToGlobal(cell.center()), true);
}

bool SearchPanelController::eventFilter(QObject* watched, QEvent* event) {
    auto* widget = qobject_cast<QWidget*>(watched);
    if (!widget || widget->window() != this) {
        return false;
    }
    // The menu key reaches the field as a context-menu request of its own, not as a key.
    if (event->type() == QEvent::ContextMenu &&
        static_cast<QContextMenuEvent*>(event)->reason() == QContextMenuEvent::Keyboard) {
        popUpSelectedResultMenu();
        return true;
    }
    if (event->type() != QEvent::KeyPress) {
        return false;
    }
    auto* key = static_cast<QKeyEvent*>(event);
    bool control = key->modifiers() & Qt::ControlModifier;
    bool shift = key->modifiers() & Qt::ShiftModifier;
    switch (key->key()) {
    case Qt::Key_Menu:
    case Qt::Key_F10:
        if (key->key() == Qt::Key_F10 && !shift) {
            // F10 opens the application's menu, as it opens a window's menus elsewhere.
            popUpPanelMenu({}, true);
            return true;
        }
        popUpSelectedResultMenu();
        return true;
    case Qt::Key_C:
        if (!control) {
            return false;
        }
        if (auto* field = qobject_cast<QLineEdit*>(QApplication::focusWidget());
            field && field->hasSelectedText()) {
            return false; // an ordinary copy of the selected text
        }
        copySelectedPath();
        return true;
    case Qt::Key_Return:
    case Qt::Key_Enter:
        activateSelectedFromKeyboard(control);
        return true;
    case Qt::Key_Escape:
        hidePanel();
        return true;
    case Qt::Key_Delete:
        if (mode_ != Mode::largeFiles) {
            return false; // edits the query
        }
        moveSelectedToTrash();
        return true;
    case Qt::Key_Down:
        moveSelection(1);
        return true;
    case Qt::Key_Up:
        moveSelection(-1);
        return true;
    case Qt::Key_PageDown:
        moveSelection(rowsPerPage());
        return true;
    case Qt::Key_PageUp:
        moveSelection(-rowsPerPage());
        return true;
    case Qt::Key_Home:
    case Qt::Key_End:
        if (shift) {
            return false; // selects text in the search field
        }
        selectRowInView(key->key() == Qt::Key_Home ? 0 : int(model_->results().size()) - 1);
        if (key->key() == Qt::Key_End) {
            loadMoreResults();
        }
        return true;
    default:
        return false;
    }
}

void SearchPanelController::mousePressEvent(QMouseEvent* event) {
    dragOffset_ = event->globalPosition().toPoint() - frameGeometry().topLeft();
}

void SearchPanelController::mouseMoveEvent(QMouseEvent* event) {
    if (event->buttons() & Qt::LeftButton) {
        move(event->globalPosition().toPoint() - dragOffset_);
    }
}

} // namespace quelmo
