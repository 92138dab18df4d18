#include "MeasuredFile.h"

#include "Clock.h"
#include "FileSystem.h"
#include "SearchIndex.h"

#include <chrono>
#include <thread>

namespace nexdir {

std::vector<MeasuredFile> MeasuredFile::measure(const std::vector<SearchResult>& files,
                                                const std::function<bool()>& shouldContinue) {
    std::vector<MeasuredFile> measured;
    measured.reserve(files.size());
    for (const SearchResult& file : files) {
        if (shouldContinue && !shouldContinue()) {
            break;
        }
        int errorCode = 0;
        std::optional<ItemValues> values = readItemValues(file.path, errorCode);
        if (!values) {
            measured.push_back({file, std::nullopt});
            continue;
        }
        // The walks record a file's size and time from this same call, so equal values
        // mean the file has not changed since the row was written.
        if (values->isDirectory != file.isDirectory || values->size != file.size ||
            values->modifiedAt != file.modifiedAt) {
            continue;
        }
        measured.push_back(
            {file, FileDiskUsage::fromStat(values->isRegularFile, values->blocks512)});
    }
    return measured;
}

MeasurementTally measureUnmeasuredFiles(
    SearchIndex& index, int64_t batch, const std::function<bool()>& shouldContinue,
    const std::function<void(const MeasurementTally&)>& afterBatch, bool leaveWriterIdle) {
    MeasurementTally tally;
    // Paged by id: a file left unsaved because it changed on disk stays unmeasured, and would
    // otherwise come back in every batch.
    int64_t afterID = 0;
    while (shouldContinue()) {
        std::vector<SearchResult> files = index.unmeasuredFiles(batch, afterID);
        if (files.empty()) {
            break;
        }
        afterID = files.back().id;
        std::vector<MeasuredFile> measured = MeasuredFile::measure(files, shouldContinue);
        uint64_t saving = uptimeNanoseconds();
        tally.saved += index.saveDiskUsage(measured);
        if (leaveWriterIdle) {
            std::this_thread::sleep_for(std::chrono::nanoseconds(uptimeNanoseconds() - saving));
        }
        tally.checked += int64_t(files.size());
        if (afterBatch) {
            afterBatch(tally);
        }
    }
    return tally;
}

} // namespace nexdir
