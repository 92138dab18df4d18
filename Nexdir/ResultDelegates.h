#pragma once

#include <QStyledItemDelegate>

namespace quelmo {

// The name cell: the file-type icon, the name, and below it the folder that holds the item.
// Long names elide at the end, long folders in the middle; nothing overflows the row.
class FileNameDelegate : public QStyledItemDelegate {
public:
    using QStyledItemDelegate::QStyledItemDelegate;
    void paint(QPainter* painter, const QStyleOptionViewItem& option,
               const QModelIndex& index) const override;
    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override;
};

// The size cell: the space on disk, right-aligned in tabular digits, over an optional bar
// whose length is the row's share of the first row's size.
class SizeBarDelegate : public QStyledItemDelegate {
public:
    using QStyledItemDelegate::QStyledItemDelegate;
    void paint(QPainter* painter, const QStyleOptionViewItem& option,
               const QModelIndex& index) const override;
};

} // namespace quelmo
