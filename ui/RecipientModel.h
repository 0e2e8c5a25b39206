#pragma once
// The recipient list as a Qt table model. It keeps no copy of the entries: it
// reads the core list whenever the view asks and forwards the list's change
// notifications, so a list of a million entries costs the view nothing extra.

#include "core/RecipientList.h"

#include <QAbstractTableModel>

namespace telvoro::ui {

class RecipientModel : public QAbstractTableModel, private RecipientListObserver {
    Q_OBJECT
public:
    enum Column { SeqNoColumn, CustomerColumn, PhoneColumn, StatusColumn, ColumnCount };

    // Observes `list` until destroyed; the list must outlive the model.
    explicit RecipientModel(RecipientList& list, QObject* parent = nullptr);
    ~RecipientModel() override;

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    bool setData(const QModelIndex& index, const QVariant& value, int role) override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

    // Column widths in pixels, in column order.
    static int ColumnWidth(int column);

private:
    void EntriesAppended(std::size_t first, std::size_t last) override;
    void EntriesChanged(std::size_t first, std::size_t last) override;
    void ListReset() override;

    RecipientList& list_;
    int rows_ = 0; // what the view has been told about
};

} // namespace telvoro::ui
