#pragma once

#include <QFrame>
#include <QString>

#include <cstdint>
#include <functional>
#include <optional>

class QLabel;
class QMenu;
class QPushButton;
class QTimer;

namespace quelmo {

// One sample of what this process costs.
struct ProcessUsage {
    uint64_t residentBytes = 0;
    uint64_t cpuNanoseconds = 0; // user and system time of every thread
    double uptime = 0;           // seconds since boot when it was taken

    // This process now; absent when the system does not say.
    static std::optional<ProcessUsage> read();
    // Where the resident size is read from: /proc/self/statm (a seam for tests).
    static std::optional<ProcessUsage> read(const char* statmPath);
    // Processor use between two samples in percent of one core; absent when `earlier` is not
    // earlier or its processor time is larger (a sample of another process or of a clock that
    // went back).
    static std::optional<double> cpuPercent(const ProcessUsage& earlier, const ProcessUsage& later);
};

// The popover of the panel's resources button: the index's size on disk, the process's
// memory and processor use every two seconds while open, and the way to the Options menu and
// to update checks for a user who never opens the tray. Main thread.
class ResourcePanel : public QFrame {
    Q_OBJECT
public:
    struct Callbacks {
        std::function<void()> refreshIndexSize;
        std::function<QMenu*()> optionsMenu;
        std::function<bool()> canCheckUpdates;
        std::function<void()> checkUpdates;
        // The sample taken at each tick (default: ProcessUsage::read).
        std::function<std::optional<ProcessUsage>()> readUsage = [] { return ProcessUsage::read(); };
    };

    explicit ResourcePanel(Callbacks callbacks, QWidget* parent = nullptr);

    // The formatted size of the index with its journal files.
    void setIndexSize(const QString& size);
    // Takes a sample now and shows it.
    void sample();

    QLabel* diskLabel() const { return disk_; }
    QLabel* ramLabel() const { return ram_; }
    QLabel* cpuLabel() const { return cpu_; }
    QPushButton* updateButton() const { return update_; }

protected:
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;
    bool event(QEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    Callbacks callbacks_;
    QLabel* disk_ = nullptr;
    QLabel* ram_ = nullptr;
    QLabel* cpu_ = nullptr;
    QPushButton* options_ = nullptr;
    QPushButton* update_ = nullptr;
    QTimer* timer_ = nullptr;
    std::optional<ProcessUsage> previous_;
};

} // namespace quelmo
