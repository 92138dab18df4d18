#pragma once

#include <QFontMetrics>
#include <QList>
#include <QString>

namespace quelmo {

// A run of characters of a shown text, in UTF-16 units of that text.
struct TextSpan {
    int start = 0;
    int length = 0;
    bool operator==(const TextSpan&) const = default;
};

// Where a query matched a result, folded as the search folds (case and accents), so that the
// list can mark it.
class MatchHighlight {
public:
    explicit MatchHighlight(const QString& query);

    // The spans of a shown name that the query's words match, in order and never overlapping.
    // A query of one or two characters matches the start of the name only, as the search does.
    QList<TextSpan> inName(const QString& name) const;
    // The spans of a shown folder path that the query's words match (anywhere: a word may be
    // matched by a folder above the result).
    QList<TextSpan> inLocation(const QString& location) const;
    bool isEmpty() const { return words_.isEmpty(); }

private:
    QList<TextSpan> spans(const QString& text, bool prefixOnly) const;

    QList<std::string> words_; // folded, longest first
    bool prefixOnly_ = false;
};

// `text` shortened in its middle to fit `width`, keeping visible what matters most: the start
// of `keep` (a match) and the text from `tailFrom` on (a name's extension, a path's last
// folder). Either may be -1 for none.
QString elidedKeeping(const QString& text, const QFontMetrics& metrics, int width, int keep,
                      int tailFrom);

} // namespace quelmo
