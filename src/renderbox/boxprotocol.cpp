#include "renderbox/boxprotocol.h"

#include <QRandomGenerator>

namespace tessaly::boxprotocol {

QString launcherToken() {
    static const QString token = [] {
        QByteArray bytes(16, Qt::Uninitialized);
        QRandomGenerator::system()->fillRange(reinterpret_cast<quint32*>(bytes.data()),
                                              bytes.size() / 4);
        return QString::fromLatin1(bytes.toHex());
    }();
    return token;
}

QString sealed(const QString& token, const QString& payload) {
    return token + u'\n' + payload;
}

std::optional<QString> unsealed(const QString& object, const QString& token) {
    const qsizetype newline = object.indexOf(u'\n');
    if (token.isEmpty() || newline < 0 || QStringView(object).left(newline) != token) {
        return std::nullopt;
    }
    return object.mid(newline + 1);
}

} // namespace tessaly::boxprotocol
