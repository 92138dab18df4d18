#include "CoverageWindowController.h"

#include "AppStrings.h"
#include "Format.h"
#include "PathText.h"
#include "WatchBudget.h"

#include <QApplication>
#include <QClipboard>
#include <QFontDatabase>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QPushButton>
#include <QShortcut>
#include <QStackedWidget>
#include <QStyle>
#include <QStyledItemDelegate>
#include <QTabBar>
#include <QTableWidget>
#include <QVBoxLayout>

namespace quelmo {

namespace {

constexpr int copyColumn = 1;

QString grouped(int64_t value) {
    return QString::fromStdString(nexdir::groupedNumber(value));
}

// The header's status symbol: a disc in the state's colour with its sign, drawn here, as an
// icon theme may have none of the three.
QPixmap statusSymbol(CoverageModel::Symbol symbol, CoverageModel::Tone tone, const QColor& accent) {
    const int size = 40;
    qreal ratio = qApp->devicePixelRatio();
    QPixmap pixmap(int(size * ratio), int(size * ratio));
    pixmap.setDevicePixelRatio(ratio);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    QColor colour = tone == CoverageModel::Tone::attention ? QColor(0xE6, 0x7E, 0x22)
                    : tone == CoverageModel::Tone::busy    ? accent
                                                           : QColor(0x2E, 0xA0, 0x43);
    painter.setPen(Qt::NoPen);
    painter.setBrush(colour);
    painter.drawEllipse(QRectF(2, 2, size - 4, size - 4));
    painter.setPen(QPen(Qt::white, 3.5, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    painter.setBrush(Qt::NoBrush);
    switch (symbol) {
    case CoverageModel::Symbol::busy:
        painter.drawArc(QRectF(11, 11, 18, 18), 30 * 16, 280 * 16);
        painter.drawLine(QPointF(27, 9), QPointF(28.5, 15.5));
        painter.drawLine(QPointF(28.5, 15.5), QPointF(22, 15));
        break;
    case CoverageModel::Symbol::attention:
        painter.drawLine(QPointF(20, 10), QPointF(20, 23));
        painter.drawPoint(QPointF(20, 30));
        break;
    case CoverageModel::Symbol::covered:
        painter.drawLine(QPointF(12, 20.5), QPointF(18, 26.5));
        painter.drawLine(QPointF(18, 26.5), QPointF(29, 14));
        break;
    }
    return pixmap;
}

// "Copy path" in each row, drawn as a button; a click on it copies (see the table's clicks).
class CopyButtonDelegate : public QStyledItemDelegate {
public:
    using QStyledItemDelegate::QStyledItemDelegate;
    void paint(QPainter* painter, const QStyleOptionViewItem& option,
               const QModelIndex& index) const override {
        QStyleOptionButton button;
        button.rect = option.rect.adjusted(4, 2, -4, -2);
        button.text = index.data().toString();
        button.state = QStyle::State_Enabled | QStyle::State_Raised;
        QApplication::style()->drawControl(QStyle::CE_PushButton, &button, painter);
    }
};

QLabel* wrapped(const QString& text) {
    auto* label = new QLabel(text);
    label->setWordWrap(true);
    return label;
}

QWidget* metricBox(const QString& name, QLabel*& value) {
    auto* box = new QWidget;
    auto* layout = new QVBoxLayout(box);
    layout->setContentsMargins(12, 8, 12, 8);
    value = new QLabel("0");
    QFont large = value->font();
    large.setPointSizeF(large.pointSizeF() * 1.6);
    large.setWeight(QFont::DemiBold);
    value->setFont(large);
    layout->addWidget(value);
    layout->addWidget(new QLabel(name));
    box->setAutoFillBackground(true);
    box->setBackgroundRole(QPalette::AlternateBase);
    return box;
}

} // namespace

CoverageWindowController::CoverageWindowController(std::function<void()> verify,
                                                   std::function<void()> exclusions,
                                                   QWidget* parent)
    : QWidget(parent, Qt::Window), verify_(std::move(verify)), exclusions_(std::move(exclusions)) {
    setWindowTitle("Index Coverage");
    setAccessibleName("Index Coverage");
    resize(780, 650);
    setMinimumSize(680, 560);
    buildWindow();
    // Escape closes it, as it does the panel, also where no window manager draws a close box.
    connect(new QShortcut(Qt::Key_Escape, this), &QShortcut::activated, this, &QWidget::close);
    connect(&model_, &CoverageModel::changed, this, &CoverageWindowController::showModel);
    timer_.setInterval(refreshMilliseconds);
    // Only a window on the screen is refreshed: a closed one costs nothing.
    connect(&timer_, &QTimer::timeout, this, [this] {
        if (isVisible() && onRefresh) {
            onRefresh();
        }
    });
    timer_.start();
    showModel();
}

CoverageWindowController::~CoverageWindowController() = default;

void CoverageWindowController::buildWindow() {
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(20, 18, 20, 16);
    layout->setSpacing(12);

    auto* header = new QHBoxLayout;
    symbol_ = new QLabel;
    symbol_->setAlignment(Qt::AlignTop);
    header->addWidget(symbol_, 0, Qt::AlignTop);
    auto* headerText = new QVBoxLayout;
    title_ = new QLabel;
    QFont semibold = title_->font();
    semibold.setPointSizeF(semibold.pointSizeF() * 1.3);
    semibold.setWeight(QFont::DemiBold);
    title_->setFont(semibold);
    explanation_ = wrapped({});
    headerText->addWidget(title_);
    headerText->addWidget(explanation_);
    header->addLayout(headerText, 1);
    layout->addLayout(header);

    auto* metrics = new QHBoxLayout;
    metrics->addWidget(metricBox("Indexed files & folders", indexedItems_), 1);
    metrics->addWidget(metricBox("Unreadable paths", unreadablePaths_), 1);
    layout->addLayout(metrics);
    layout->addWidget(watchLimit_ = buildWatchLimitRow());

    // Tabs rather than a row of buttons: a screen reader says which section is chosen.
    tabs_ = new QTabBar;
    tabs_->setDrawBase(false);
    tabs_->setExpanding(false);
    for (const char* name : {"Unreadable locations", "Your exclusions", "Built-in exclusions"}) {
        tabs_->addTab(name);
    }
    layout->addWidget(tabs_);
    connect(tabs_, &QTabBar::currentChanged, this, [this] { showList(); });

    tabExplanation_ = wrapped({});
    layout->addWidget(tabExplanation_);
    filter_ = new QLineEdit;
    filter_->setPlaceholderText("Filter paths\u2026");
    filter_->setAccessibleName("Filter paths\u2026");
    filter_->setClearButtonEnabled(true);
    connect(filter_, &QLineEdit::textChanged, this, [this] { showList(); });
    layout->addWidget(filter_);

    list_ = new QTableWidget(0, 2);
    list_->horizontalHeader()->hide();
    list_->verticalHeader()->hide();
    list_->horizontalHeader()->setSectionResizeMode(0, QHeaderView::Stretch);
    list_->horizontalHeader()->setSectionResizeMode(copyColumn, QHeaderView::Fixed);
    list_->setColumnWidth(copyColumn, 110);
    list_->setShowGrid(false);
    list_->setSelectionBehavior(QAbstractItemView::SelectRows);
    list_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    list_->setTextElideMode(Qt::ElideMiddle);
    list_->setItemDelegateForColumn(copyColumn, new CopyButtonDelegate(list_));
    list_->setAccessibleName("Paths");
    connect(list_, &QTableWidget::cellClicked, this, [this](int row, int column) {
        if (column == copyColumn && row < int(shown_.size())) {
            copy(copyablePath(shown_[size_t(row)]));
        }
    });
    emptyState_ = new QLabel;
    emptyState_->setAlignment(Qt::AlignCenter);
    pages_ = new QStackedWidget;
    pages_->addWidget(list_);
    pages_->addWidget(emptyState_);
    pages_->addWidget(buildBuiltInPage());
    layout->addWidget(pages_, 1);

    footer_ = new QWidget;
    auto* footer = new QHBoxLayout(footer_);
    footer->setContentsMargins(0, 0, 0, 0);
    counts_ = new QLabel;
    copyList_ = new QPushButton("Copy list");
    connect(copyList_, &QPushButton::clicked, this, [this] {
        QStringList lines;
        for (const std::string& path : shown_) {
            lines << copyablePath(path);
        }
        copy(lines.join('\n') + '\n');
    });
    footer->addWidget(counts_, 1);
    footer->addWidget(copyList_);
    layout->addWidget(footer_);

    auto* buttons = new QHBoxLayout;
    auto* footnote = wrapped(strings::coverageFootnote);
    QFont small = footnote->font();
    small.setPointSizeF(small.pointSizeF() * 0.85);
    footnote->setFont(small);
    footnote->setForegroundRole(QPalette::PlaceholderText);
    buttons->addWidget(footnote, 1);
    auto* verify = new QPushButton("Verify Index");
    connect(verify, &QPushButton::clicked, this, [this] { verify_(); });
    auto* exclusions = new QPushButton("Edit Exclusions\u2026");
    connect(exclusions, &QPushButton::clicked, this, [this] { exclusions_(); });
    buttons->addWidget(verify, 0, Qt::AlignBottom);
    buttons->addWidget(exclusions, 0, Qt::AlignBottom);
    layout->addLayout(buttons);
}

QWidget* CoverageWindowController::buildWatchLimitRow() {
    auto* row = new QWidget;
    auto* layout = new QVBoxLayout(row);
    layout->setContentsMargins(0, 0, 0, 0);
    watchLimitText_ = wrapped({});
    layout->addWidget(watchLimitText_);
    auto* commandRow = new QHBoxLayout;
    auto* command = new QLineEdit(nexdir::WatchBudget::raiseLimitCommand);
    command->setReadOnly(true);
    command->setAccessibleName("Command that raises the watch limit");
    command->setCursorPosition(0);
    QFont fixed = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    command->setFont(fixed);
    auto* copyCommand = new QPushButton("Copy command");
    connect(copyCommand, &QPushButton::clicked, this,
            [this] { copy(nexdir::WatchBudget::raiseLimitCommand); });
    commandRow->addWidget(command, 1);
    commandRow->addWidget(copyCommand);
    layout->addLayout(commandRow);
    return row;
}

QWidget* CoverageWindowController::buildBuiltInPage() {
    auto* page = new QWidget;
    auto* layout = new QVBoxLayout(page);
    struct Row {
        QStyle::StandardPixmap icon;
        const char* title;
        const char* text;
    };
    for (const Row& row : {Row{QStyle::SP_ComputerIcon, strings::builtInSystemTitle,
                               strings::builtInSystemText},
                           Row{QStyle::SP_DirIcon, strings::builtInCachesTitle,
                               strings::builtInCachesText},
                           Row{QStyle::SP_DriveNetIcon, strings::builtInVolumesTitle,
                               strings::builtInVolumesText}}) {
        auto* line = new QHBoxLayout;
        auto* icon = new QLabel;
        // Themes draw these at different sizes: one box keeps the three texts aligned.
        icon->setFixedSize(28, 28);
        icon->setAlignment(Qt::AlignCenter);
        icon->setPixmap(style()->standardIcon(row.icon).pixmap(24, 24).scaled(
            24, 24, Qt::KeepAspectRatio, Qt::SmoothTransformation));
        line->addWidget(icon, 0, Qt::AlignTop);
        auto* text = new QVBoxLayout;
        auto* title = new QLabel(row.title);
        QFont bold = title->font();
        bold.setWeight(QFont::DemiBold);
        title->setFont(bold);
        text->addWidget(title);
        text->addWidget(wrapped(row.text));
        line->addLayout(text, 1);
        layout->addLayout(line);
    }
    layout->addWidget(
        wrapped("These are intentional exclusions. They do not count as unreadable paths."));
    layout->addStretch(1);
    return page;
}

CoverageModel::Tab CoverageWindowController::selectedTab() const {
    return CoverageModel::Tab(tabs_->currentIndex());
}

void CoverageWindowController::showModel() {
    CoverageModel::Header header = model_.header();
    symbol_->setPixmap(statusSymbol(header.symbol, header.tone, palette().color(QPalette::Highlight)));
    symbol_->setAccessibleName(header.tone == CoverageModel::Tone::good ? "Covered"
                               : header.tone == CoverageModel::Tone::busy ? "Working"
                                                                          : "Needs attention");
    title_->setText(header.title);
    explanation_->setText(header.explanation);
    const CoverageSnapshot& snapshot = model_.snapshot();
    indexedItems_->setText(grouped(snapshot.indexedItems));
    unreadablePaths_->setText(grouped(snapshot.inaccessibleCount));
    watchLimit_->setVisible(snapshot.unwatchedFolders > 0);
    if (snapshot.unwatchedFolders > 0) {
        QString folders = grouped(snapshot.unwatchedFolders) +
                          (snapshot.unwatchedFolders == 1 ? " folder is" : " folders are");
        QString limit = snapshot.watchLimit ? " (now " + grouped(*snapshot.watchLimit) + ")" : "";
        watchLimitText_->setText(
            folders + " checked every 30 s instead of watched: the kernel's limit of file "
            "watches, fs.inotify.max_user_watches" + limit + ", is shared with your other "
            "programs, and Quelmo leaves them their part. Changes there show up within 30 "
            "seconds. This command raises the limit for good:");
    }
    showList();
}

void CoverageWindowController::showList() {
    CoverageModel::Tab tab = selectedTab();
    bool builtIn = tab == CoverageModel::Tab::builtIn;
    filter_->setVisible(!builtIn);
    footer_->setVisible(!builtIn);
    tabExplanation_->setVisible(!builtIn);
    if (builtIn) {
        pages_->setCurrentIndex(2);
        return;
    }
    bool unreadable = tab == CoverageModel::Tab::unreadable;
    tabExplanation_->setText(
        unreadable ? "A path can be a file or an entire folder. Access restrictions or "
                     "unavailable locations can prevent reading; this list does not identify "
                     "the exact cause."
                   : "These locations were excluded by you. Use Edit Exclusions to change the "
                     "list.");
    const std::vector<std::string>& recorded = model_.paths(tab);
    std::vector<std::string> shown = CoverageModel::filtered(recorded, filter_->text());
    if (shown != shown_ || list_->rowCount() != int(shown.size())) {
        shown_ = std::move(shown);
        // Rows are made again only when they change: the list is refreshed every 5 s.
        list_->setRowCount(int(shown_.size()));
        QIcon folder = style()->standardIcon(QStyle::SP_DirIcon);
        for (int row = 0; row < int(shown_.size()); ++row) {
            auto* path = new QTableWidgetItem(folder, displayedPath(shown_[size_t(row)]));
            path->setToolTip(path->text());
            list_->setItem(row, 0, path);
            list_->setItem(row, copyColumn, new QTableWidgetItem("Copy path"));
        }
    }
    if (recorded.empty()) {
        emptyState_->setText(unreadable ? "\u2713  No unreadable paths recorded"
                                        : "No custom exclusions");
    } else if (shown_.empty()) {
        emptyState_->setText("No matching paths");
    }
    pages_->setCurrentIndex(shown_.empty() ? 1 : 0);
    counts_->setText(grouped(int64_t(recorded.size())) + " recorded paths \u2022 " +
                     grouped(int64_t(shown_.size())) + " shown");
    copyList_->setEnabled(!shown_.empty());
}

void CoverageWindowController::copy(const QString& text) {
    QApplication::clipboard()->setText(text);
}

} // namespace quelmo
