#include "platform/mail/mcomessageheader.h"

namespace tessaly {

std::optional<QString> MCOMessageHeader::extraHeaderValueForName(QStringView name) const {
    for (const Field& field : m_fields) {
        if (field.name.compare(name, Qt::CaseInsensitive) == 0) {
            return field.value;
        }
    }
    return std::nullopt;
}

QString MCOMessageHeader::description() const {
    QString text;
    for (const Field& field : m_fields) {
        text += field.name;
        text += u": ";
        text += field.value;
        text += u'\n';
    }
    return text;
}

} // namespace tessaly
