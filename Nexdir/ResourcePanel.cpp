#include "ResourcePanel.h"

#include <QApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QLocale>
#include <QMenu>
#include <QPushButton>
#include <QTimer>
#include <QVBoxLayout>

#include <fstream>
#include <time.h>
#include <sys/resource.h>
#include <unistd.h>

namespace quelmo {

namespace {

constexpr int sampleMilliseconds = 2000;

uint64_t nanoseconds(const timeval& time) {
    return uint64_t(time.tv_sec) * 1'000'000'000ULL + uint64_t(time.tv_usec) * 1000ULL;
}

} // namespace

std::optional<ProcessUsage> ProcessUsage::read() {
    return read("/proc/self/statm");
}

std::optional<ProcessUsage> ProcessUsage::read(const char* statmPath) {
    std::ifstream statm(statmPath);
    uint64_t sizePages = 0, residentPages = 0;
    if (!(statm >> sizePages >> residentPages)) {
        return std::nullopt;
    }
    rusage usage{};
    timespec boot{};
    if (getrusage(RUSAGE_SELF, &usage) != 0 || clock_gettime(CLOCK_BOOTTIME, &boot) != 0) {
        return std::nullopt;
    }
    ProcessUsage sample;
    sample.residentBytes = residentPages * uint64_t(sysconf(_SC_PAGESIZE));
    sample.cpuNanoseconds = nanoseconds(usage.ru_utime) + nanoseconds(usage.ru_stime);
    sample.uptime = double(boot.tv_sec) + double(boot.tv_nsec) / 1e9;
    return sample;
}

std::optional<double> ProcessUsage::cpuPercent(const ProcessUsage& earlier,
                                               const ProcessUsage& later) {
    if (!(earlier.uptime < later.uptime) || earlier.cpuNanoseconds > later.cpuNanoseconds) {
        return std::nullopt;
    }
    double seconds = double(later.cpuNanoseconds - earlier.cpuNanoseconds) / 1e9;
    return seconds / (later.uptime - earlier.uptime) * 100;
}

ResourcePanel::ResourcePanel(Callbacks callbacks, QWidget* parent)
    // A window of its own rather than a popup, which a screen reader would not find; it goes
    // away as a popup does, when the user turns elsewhere.
    : QFrame(parent, Qt::Tool | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint),
      callbacks_(std::move(callbacks)) {
    setObjectName("resources");
    setWindowTitle("Quelmo resources");
    setAccessibleName("Quelmo resources");
    setFixedSize(320, 280);
    setStyleSheet("#resources { background: #202020; border: 1px solid #3a3a3a; }"
                  "QLabel { color: #dcdcdc; }"
                  "QPushButton { background: #303030; color: #dcdcdc; border: 1px solid #4a4a4a;"
                  " border-radius: 5px; padding: 4px 12px; }"
                  "QPushButton:disabled { color: #6a6a6a; }");
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(16, 14, 16, 14);
    layout->setSpacing(12);
    layout->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    auto* title = new QLabel("Quelmo resources");
    QFont bold = title->font();
    bold.setBold(true);
    title->setFont(bold);
    layout->addWidget(title);
    auto* note = new QLabel(
        "Index includes SQLite, WAL and shared memory. RAM is resident memory. CPU: 100% = one core.");
    note->setWordWrap(true);
    note->setStyleSheet("color: #969696;");
    layout->addWidget(note);
    disk_ = new QLabel("Index on disk   Checking\u2026");
    ram_ = new QLabel("RAM   Measuring\u2026");
    cpu_ = new QLabel("CPU   Measuring\u2026");
    for (QLabel* value : {disk_, ram_, cpu_}) {
        layout->addWidget(value);
    }
    auto* buttons = new QHBoxLayout;
    if (callbacks_.optionsMenu) {
        options_ = new QPushButton("Options");
        connect(options_, &QPushButton::clicked, this, [this] {
            if (QMenu* options = callbacks_.optionsMenu()) {
                options->popup(options_->mapToGlobal(QPoint(0, options_->height())));
            }
        });
        buttons->addWidget(options_);
    }
    if (callbacks_.checkUpdates) {
        update_ = new QPushButton("Check for Updates\u2026");
        connect(update_, &QPushButton::clicked, this, [this] {
            hide();
            callbacks_.checkUpdates();
        });
        buttons->addWidget(update_);
    }
    buttons->addStretch(1);
    layout->addLayout(buttons);

    timer_ = new QTimer(this);
    timer_->setInterval(sampleMilliseconds);
    connect(timer_, &QTimer::timeout, this, &ResourcePanel::sample);
}

void ResourcePanel::setIndexSize(const QString& size) {
    disk_->setText("Index on disk   " + size);
}

void ResourcePanel::sample() {
    if (callbacks_.refreshIndexSize) {
        callbacks_.refreshIndexSize();
    }
    if (update_) {
        update_->setEnabled(callbacks_.canCheckUpdates && callbacks_.canCheckUpdates());
    }
    std::optional<ProcessUsage> usage = callbacks_.readUsage();
    if (!usage) {
        ram_->setText("RAM   Unavailable");
        cpu_->setText("CPU   Unavailable");
        return;
    }
    ram_->setText("RAM   " + QLocale::system().formattedDataSize(
                                 qint64(usage->residentBytes), 1, QLocale::DataSizeTraditionalFormat));
    std::optional<double> cpu =
        previous_ ? ProcessUsage::cpuPercent(*previous_, *usage) : std::nullopt;
    cpu_->setText(cpu ? QString::asprintf("CPU   %.1f%%", *cpu) : QString("CPU   Measuring\u2026"));
    previous_ = usage;
}

void ResourcePanel::showEvent(QShowEvent* event) {
    QFrame::showEvent(event);
    sample();
    timer_->start();
    activateWindow();
}

bool ResourcePanel::event(QEvent* event) {
    if (event->type() == QEvent::WindowDeactivate &&
        !QApplication::activePopupWidget()) {
        hide();
    }
    return QFrame::event(event);
}

void ResourcePanel::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Escape) {
        hide();
        return;
    }
    QFrame::keyPressEvent(event);
}

void ResourcePanel::hideEvent(QHideEvent* event) {
    QFrame::hideEvent(event);
    timer_->stop();
}

} // namespace quelmo
