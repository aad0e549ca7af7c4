#include "render/attachmentnames.h"

#include "render/destinationpaths.h"

#include <QHash>

namespace tessaly {

QStringList AttachmentNames::duplicateNumbers(const QList<MCOAttachment>& parts) {
    QHash<QString, int> seen;
    QStringList numbers;
    for (const MCOAttachment& part : parts) {
        const int count = ++seen[DestinationPaths::justFileName(part)];
        numbers.append(count > 1 ? QString::number(count) : QString());
    }
    return numbers;
}

QString AttachmentNames::numberedName(const QString& name, const QString& number) {
    if (number.isEmpty()) {
        return name;
    }
    const qsizetype dot = name.lastIndexOf(u'.');
    // A leading dot starts a hidden name, not an extension.
    const QString stem = dot > 0 ? name.left(dot) : name;
    const QString extension = dot > 0 ? name.mid(dot + 1) : QString();
    return stem + u' ' + number + u'.' + extension;
}

} // namespace tessaly
