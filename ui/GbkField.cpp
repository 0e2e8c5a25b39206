#include "ui/GbkField.h"

#include "text/GbkCodec.h"
#include "ui/UiCommon.h"

#include <QLineEdit>
#include <QVariant>

namespace telvoro::ui {

namespace {
constexpr const char* kGbkProperty = "telvoroGbk";
constexpr const char* kShownProperty = "telvoroShown";
} // namespace

void SetFieldGbk(QLineEdit* field, const std::string& bytes) {
    const QString shown = ShowGbk(bytes);
    field->setText(shown);
    field->setProperty(kGbkProperty,
                       QByteArray(bytes.data(), static_cast<qsizetype>(bytes.size())));
    field->setProperty(kShownProperty, shown);
}

std::string FieldGbk(const QLineEdit* field) {
    const QVariant bytes = field->property(kGbkProperty);
    if (bytes.isValid() && field->property(kShownProperty).toString() == field->text()) {
        const QByteArray b = bytes.toByteArray();
        return std::string(b.constData(), static_cast<std::size_t>(b.size()));
    }
    return ToGbk(field->text());
}

} // namespace telvoro::ui
