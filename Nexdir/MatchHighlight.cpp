#include "MatchHighlight.h"

#include "Normalize.h"
#include "Unicode.h"

#include <algorithm>

namespace quelmo {

namespace {

// The folded form of `text` and, for each of its bytes, the shown character it came from.
struct Folded {
    std::string text;
    std::vector<int> from;  // UTF-16 index in the shown text, per byte of `text`
    std::vector<int> until; // end of that character, per byte, marks that fold away included
};

Folded fold(const QString& text) {
    Folded folded;
    int index = 0;
    while (index < text.size()) {
        int length = text[index].isHighSurrogate() && index + 1 < text.size() ? 2 : 1;
        std::string piece = nexdir::normalizeForSearch(text.mid(index, length).toStdString());
        if (piece.empty() && !folded.until.empty()) {
            // A mark that folds away belongs to the character before it.
            for (auto it = folded.until.rbegin(); it != folded.until.rend() && *it == index; ++it) {
                *it = index + length;
            }
        }
        for (char byte : piece) {
            folded.text.push_back(byte);
            folded.from.push_back(index);
            folded.until.push_back(index + length);
        }
        index += length;
    }
    return folded;
}

} // namespace

MatchHighlight::MatchHighlight(const QString& query) {
    std::string folded = nexdir::normalizeForSearch(nexdir::trimmedWhitespace(query.toStdString()));
    std::vector<std::string> words = nexdir::whitespaceSeparatedWords(folded);
    for (const std::string& word : words) {
        if (!words_.contains(word)) {
            words_.append(word);
        }
    }
    // A longer word is marked before a shorter one that it holds.
    std::sort(words_.begin(), words_.end(),
              [](const std::string& a, const std::string& b) { return a.size() > b.size(); });
    // The search lists names that start with a one- or two-character query.
    prefixOnly_ = words.size() == 1 && nexdir::codePoints(words.front()).size() < 3;
}

QList<TextSpan> MatchHighlight::inName(const QString& name) const {
    return spans(name, prefixOnly_);
}

QList<TextSpan> MatchHighlight::inLocation(const QString& location) const {
    return prefixOnly_ ? QList<TextSpan>() : spans(location, false);
}

QList<TextSpan> MatchHighlight::spans(const QString& text, bool prefixOnly) const {
    if (words_.isEmpty()) {
        return {};
    }
    Folded folded = fold(text);
    std::vector<bool> taken(folded.text.size(), false);
    QList<TextSpan> found;
    auto mark = [&](size_t at, size_t length) {
        std::fill(taken.begin() + long(at), taken.begin() + long(at + length), true);
        int start = folded.from[at];
        found.append({start, folded.until[at + length - 1] - start});
    };
    for (const std::string& word : words_) {
        if (prefixOnly) {
            if (folded.text.compare(0, word.size(), word) == 0) {
                mark(0, word.size());
            }
            continue;
        }
        for (size_t at = folded.text.find(word); at != std::string::npos;
             at = folded.text.find(word, at + 1)) {
            bool free = std::none_of(taken.begin() + long(at), taken.begin() + long(at + word.size()),
                                     [](bool used) { return used; });
            // A match must begin and end on whole shown characters.
            bool whole = (at == 0 || folded.from[at - 1] != folded.from[at]) &&
                         (at + word.size() == folded.text.size() ||
                          folded.from[at + word.size()] != folded.from[at + word.size() - 1]);
            if (free && whole) {
                mark(at, word.size());
                at += word.size() - 1;
            }
        }
    }
    std::sort(found.begin(), found.end(),
              [](const TextSpan& a, const TextSpan& b) { return a.start < b.start; });
    return found;
}

QString elidedKeeping(const QString& text, const QFontMetrics& metrics, int width, int keep,
                      int tailFrom) {
    if (metrics.horizontalAdvance(text) <= width) {
        return text;
    }
    const QString ellipsis = QStringLiteral("\u2026");
    bool hasTail = tailFrom > 0 && tailFrom > keep;
    QString head = hasTail ? text.left(tailFrom) : text;
    QString tail = hasTail ? text.mid(tailFrom) : QString();
    int room = width - metrics.horizontalAdvance(tail);
    if (room < metrics.horizontalAdvance(ellipsis) * 4) {
        return metrics.elidedText(text, Qt::ElideMiddle, width);
    }
    if (keep < 0 || keep >= head.size()) {
        return metrics.elidedText(head, Qt::ElideMiddle, room) + tail;
    }
    // The start of the head, cut after the match begins (with a few of its characters
    // visible); else from the match on.
    QString fromStart = metrics.elidedText(head, Qt::ElideRight, room);
    if (fromStart.size() - 1 >= std::min<int>(keep + 3, int(head.size()))) {
        return fromStart + tail;
    }
    QString fromMatch = metrics.elidedText(head.mid(keep), Qt::ElideRight,
                                           room - metrics.horizontalAdvance(ellipsis));
    return ellipsis + fromMatch + tail;
}

} // namespace quelmo
