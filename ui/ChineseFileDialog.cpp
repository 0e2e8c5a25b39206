#include "ui/ChineseFileDialog.h"

#include <QDateTime>
#include <QEvent>
#include <QFileDialog>
#include <QFileSystemModel>
#include <QIdentityProxyModel>
#include <QLocale>

namespace telvoro::ui {

namespace {

// The columns of Qt's file list: name, size, kind, date modified.
enum Column { NameColumn, SizeColumn, KindColumn, DateColumn };

class ChineseFileList : public QIdentityProxyModel {
public:
    using QIdentityProxyModel::QIdentityProxyModel;

    QVariant data(const QModelIndex& index, int role) const override {
        const auto* files = qobject_cast<const QFileSystemModel*>(sourceModel());
        if (role != Qt::DisplayRole || files == nullptr || index.column() == NameColumn)
            return QIdentityProxyModel::data(index, role);
        const QModelIndex source = mapToSource(index);
        const QFileInfo info = files->fileInfo(source);
        const QLocale chinese(QLocale::Chinese, QLocale::China);
        switch (index.column()) {
        case SizeColumn:
            if (info.isDir()) return QIdentityProxyModel::data(index, role);
            return chinese.formattedDataSize(files->size(source));
        case KindColumn:
            if (info.isRoot()) return QStringLiteral("驱动器");
            if (info.isDir()) return QStringLiteral("文件夹");
            return info.suffix().isEmpty() ? QStringLiteral("文件")
                                           : info.suffix() + QStringLiteral(" 文件");
        case DateColumn:
            return chinese.toString(files->lastModified(source), QLocale::ShortFormat);
        default:
            return QIdentityProxyModel::data(index, role);
        }
    }
};

// Gives the dialog its Chinese list when it is first shown: Qt's own dialog
// builds its views only then (a native one never does).
class OnFirstShow : public QObject {
public:
    using QObject::QObject;

    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::Show)
            if (auto* dialog = qobject_cast<QFileDialog*>(watched);
                dialog != nullptr && dialog->proxyModel() == nullptr) {
                auto* list = new ChineseFileList(dialog);
                dialog->setProxyModel(list);
                if (dialog->proxyModel() != list) delete list; // a native dialog
            }
        return false;
    }
};

} // namespace

void PrepareFileDialog(QFileDialog& dialog, const QString& folder) {
    if (!folder.isEmpty()) dialog.setDirectory(folder);
    dialog.installEventFilter(new OnFirstShow(&dialog));
}

} // namespace telvoro::ui
