#include "archive/sources/emlxconverter.h"

#include "archive/archivelog.h"

#include <QFile>
#include <QFileInfo>

#include <cmath>

namespace tessaly {

namespace {

const QByteArray kAppleLength = "X-Apple-Content-Length:";
constexpr double kLengthRatio = 1.0129870129;
constexpr qsizetype kBlankLineWindow = 320;

// "%d" of the C library: leading white space, an optional sign, digits up to the first other
// byte; no digits give 0.
qint64 leadingDecimal(QByteArrayView text) {
    qsizetype i = 0;
    while (i < text.size() && (text[i] == ' ' || text[i] == '\t' || text[i] == '\n' ||
                               text[i] == '\r' || text[i] == '\v' || text[i] == '\f')) {
        ++i;
    }
    bool negative = false;
    if (i < text.size() && (text[i] == '-' || text[i] == '+')) {
        negative = text[i] == '-';
        ++i;
    }
    qint64 value = 0;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9' && value < (qint64(1) << 40)) {
        value = value * 10 + (text[i] - '0');
        ++i;
    }
    return negative ? -value : value;
}

// The file name with its last two extensions removed: 123.partial.emlx gives 123.
QString stem(const QString& path) {
    const QFileInfo info(path);
    QString name = info.fileName();
    for (int i = 0; i < 2; ++i) {
        const qsizetype dot = name.lastIndexOf(u'.');
        if (dot > 0) {
            name.truncate(dot);
        }
    }
    return info.path() + u'/' + name;
}

} // namespace

std::optional<QByteArray> EmlxConverter::emlxFileToEMLData(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        return std::nullopt;
    }
    const QByteArray bytes = file.readAll();
    if (QFileInfo(path).suffix() != u"emlx") {
        qCInfo(lcArchive) << "only call this class for emlx files";
        return bytes;
    }
    if (bytes.size() < 25) {
        return std::nullopt;
    }
    qint64 length =
        leadingDecimal(QByteArrayView(bytes.constData(), std::min<qsizetype>(19, bytes.size())));
    const qsizetype lineEnd = bytes.indexOf('\n');
    if (lineEnd < 0) {
        // Without a line end the message has no defined start.
        return std::nullopt;
    }
    const qsizetype start = lineEnd + 1;
    const qint64 available = bytes.size() - start;
    if (length > available) {
        qCInfo(lcArchive) << "found corrupt emlx file??";
        length = available - 1;
    }
    if (length <= 0) {
        return QByteArray();
    }
    return bytes.mid(start, length);
}

std::optional<QStringList> EmlxConverter::emlxparts(const QString& path) {
    if (!path.contains(QStringLiteral("partial.emlx"))) {
        return std::nullopt;
    }
    const QString base = stem(path);
    QStringList parts;
    for (int i = 1; i <= 59; ++i) {
        const QString whole = QStringLiteral("%1.%2.emlxpart").arg(base).arg(i);
        if (QFileInfo::exists(whole)) {
            if (i >= 41) {
                qCInfo(lcArchive) << "Found part with high number" << i;
            }
            parts.append(whole);
        }
        for (int j = 1; j <= 9; ++j) {
            const QString sub = QStringLiteral("%1.%2.%3.emlxpart").arg(base).arg(i).arg(j);
            if (QFileInfo::exists(sub)) {
                parts.append(sub);
            }
        }
    }
    return parts;
}

QMap<QString, QByteArray> EmlxConverter::emlxpartAttachments(const QString& path) {
    QMap<QString, QByteArray> parts;
    for (const QString& part : emlxparts(path).value_or(QStringList{})) {
        QFile file(part);
        if (file.open(QIODevice::ReadOnly)) {
            parts.insert(part, file.readAll());
        }
    }
    return parts;
}

QString EmlxConverter::findSierraStyleAttachmentsFolder(const QString& path) {
    const QFileInfo info(path);
    const QString grandparent = QFileInfo(info.path()).path();
    const QString folder =
        grandparent + QStringLiteral("/Attachments/") + QFileInfo(stem(path)).fileName();
    return QFileInfo::exists(folder) ? folder : QString();
}

std::optional<QByteArray>
EmlxConverter::dataForXAppleContentLength(const QByteArray& data, qsizetype headerPosition,
                                          QMap<QString, QByteArray>& parts) {
    const qsizetype numberAt = headerPosition + kAppleLength.size();
    const qsizetype available = std::clamp<qsizetype>(data.size() - numberAt, 0, 11);
    const qint64 recorded = leadingDecimal(
        QByteArrayView(data.constData() + std::min(numberAt, data.size()), available));
    const double target = static_cast<double>(recorded) / kLengthRatio;
    double best = 1e99;
    QString chosen;
    for (auto it = parts.begin(); it != parts.end(); ++it) {
        const double n = static_cast<double>(it.value().size());
        const double error = std::fabs(n - target) / n;
        if (error < best) {
            best = error;
            chosen = it.key();
        }
    }
    if (!chosen.isEmpty()) {
        return parts.take(chosen);
    }
    if (!parts.isEmpty()) {
        qCInfo(lcArchive) << "could not find attachment of length" << target;
    }
    return std::nullopt;
}

std::optional<EmlxConverter::Insertion>
EmlxConverter::findNextInsertionPoint(qsizetype from, qsizetype length, const QByteArray& data,
                                      QMap<QString, QByteArray>& parts) {
    const qsizetype header = data.indexOf(kAppleLength, from);
    if (header < 0 || header + kAppleLength.size() > from + length) {
        return std::nullopt;
    }
    Insertion insertion;
    insertion.part = dataForXAppleContentLength(data, header, parts);
    const qsizetype window = std::min(kBlankLineWindow, from + length - header);
    const qsizetype blankAt = data.indexOf("\n\n", header);
    const qsizetype blank = blankAt < 0 || blankAt + 2 > header + window ? -1 : blankAt - header;
    if (blank < 0) {
        qCInfo(lcArchive) << "could not find location to put attachment";
        return std::nullopt;
    }
    insertion.position = header + blank + 1;
    return insertion;
}

std::optional<QByteArray>
EmlxConverter::emlxFileToEMLDataWithIntertwinedParts(const QString& path,
                                                     QString* mailappAttachments) {
    if (mailappAttachments) {
        *mailappAttachments = findSierraStyleAttachmentsFolder(path);
    }
    const std::optional<QByteArray> raw = emlxFileToEMLData(path);
    if (!raw) {
        return std::nullopt;
    }
    QMap<QString, QByteArray> parts = emlxpartAttachments(path);
    if (parts.isEmpty()) {
        return raw;
    }
    QByteArray out;
    qsizetype current = 0;
    qsizetype left = raw->size();
    std::optional<Insertion> next = findNextInsertionPoint(current, left, *raw, parts);
    while (next) {
        const qsizetype span = next->position - current;
        out.append(raw->constData() + current, span);
        left -= span;
        if (next->part) {
            out.append(*next->part);
        }
        current = next->position;
        next = findNextInsertionPoint(current, left, *raw, parts);
    }
    if (!parts.isEmpty()) {
        qCInfo(lcArchive) << "Could not place a part in an emlx file";
    }
    out.append(raw->constData() + current, left);
    return out;
}

} // namespace tessaly
