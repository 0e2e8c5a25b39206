#include "ui/RecipientModel.h"

#include "text/GbkCodec.h"
#include "ui/UiCommon.h"

#include <QApplication>
#include <limits>

namespace telvoro::ui {

namespace {

int ClampRows(std::size_t n) {
    return n > static_cast<std::size_t>(std::numeric_limits<int>::max())
               ? std::numeric_limits<int>::max()
               : static_cast<int>(n);
}

} // namespace

RecipientModel::RecipientModel(RecipientList& list, QObject* parent)
    : QAbstractTableModel(parent), list_(list), rows_(ClampRows(list.Count())) {
    list_.SetObserver(this);
}

RecipientModel::~RecipientModel() {
    list_.SetObserver(nullptr);
}

int RecipientModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : rows_;
}

int RecipientModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : ColumnCount;
}

int RecipientModel::ColumnWidth(int column) {
    static constexpr int kWidths[ColumnCount] = {40, 60, 120, 46};
    return column >= 0 && column < ColumnCount ? kWidths[column] : 0;
}

QVariant RecipientModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() >= rows_ ||
        static_cast<std::size_t>(index.row()) >= list_.Count())
        return {};
    const RecipientEntry& e = list_.At(static_cast<std::size_t>(index.row()));
    switch (role) {
    case Qt::DisplayRole:
    case Qt::EditRole:
        switch (index.column()) {
        case SeqNoColumn:
            return ShowGbk(e.SeqNo);
        case CustomerColumn:
            return ShowGbk(e.Customer);
        case PhoneColumn:
            return ShowGbk(e.Phone);
        case StatusColumn:
            return ShowGbk(e.Status);
        default:
            return {};
        }
    case Qt::ToolTipRole:
        // The whole number or name, also where its narrow column cannot show it.
        if (index.column() == SeqNoColumn && !e.SeqNo.empty()) return ShowGbk(e.SeqNo);
        if (index.column() == CustomerColumn && !e.Customer.empty()) return ShowGbk(e.Customer);
        return {};
    case Qt::CheckStateRole:
        if (index.column() == SeqNoColumn) return e.Checked ? Qt::Checked : Qt::Unchecked;
        return {};
    case Qt::TextAlignmentRole:
        return index.column() == SeqNoColumn ? int(Qt::AlignLeft | Qt::AlignVCenter)
                                             : int(Qt::AlignCenter);
    default:
        return {};
    }
}

bool RecipientModel::setData(const QModelIndex& index, const QVariant& value, int role) {
    if (!index.isValid() || index.column() != SeqNoColumn ||
        static_cast<std::size_t>(index.row()) >= list_.Count())
        return false;
    const auto row = static_cast<std::size_t>(index.row());
    if (role == Qt::CheckStateRole) {
        list_.SetChecked(row, value.toInt() == Qt::Checked);
        return true;
    }
    if (role == Qt::EditRole) {
        const QString text = value.toString();
        if (!HasGbkForm(text)) {
            QApplication::beep();
            return false;
        }
        list_.SetSeqNo(row, ToGbk(text));
        return true;
    }
    return false;
}

Qt::ItemFlags RecipientModel::flags(const QModelIndex& index) const {
    if (!index.isValid()) return Qt::NoItemFlags;
    Qt::ItemFlags f = Qt::ItemIsEnabled | Qt::ItemIsSelectable;
    if (index.column() == SeqNoColumn) f |= Qt::ItemIsUserCheckable | Qt::ItemIsEditable;
    return f;
}

QVariant RecipientModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation != Qt::Horizontal) return {};
    if (role == Qt::DisplayRole) {
        switch (section) {
        case SeqNoColumn:
            return QStringLiteral("序号");
        case CustomerColumn:
            return QStringLiteral("客户");
        case PhoneColumn:
            return QStringLiteral("电话");
        case StatusColumn:
            return QStringLiteral("状态");
        default:
            return {};
        }
    }
    if (role == Qt::TextAlignmentRole)
        return section == SeqNoColumn ? int(Qt::AlignLeft | Qt::AlignVCenter)
                                      : int(Qt::AlignCenter);
    return {};
}

void RecipientModel::EntriesAppended(std::size_t first, std::size_t last) {
    const int newRows = ClampRows(list_.Count());
    if (newRows <= rows_) {
        // Out of step (cannot happen with one observer); start afresh.
        ListReset();
        return;
    }
    (void)first;
    (void)last;
    beginInsertRows({}, rows_, newRows - 1);
    rows_ = newRows;
    endInsertRows();
}

void RecipientModel::EntriesChanged(std::size_t first, std::size_t last) {
    if (rows_ == 0 || first >= static_cast<std::size_t>(rows_)) return;
    const int top = static_cast<int>(first);
    const int bottom = std::min(ClampRows(last), rows_ - 1);
    emit dataChanged(index(top, 0), index(bottom, ColumnCount - 1));
}

void RecipientModel::ListReset() {
    beginResetModel();
    rows_ = ClampRows(list_.Count());
    endResetModel();
}

} // namespace telvoro::ui
