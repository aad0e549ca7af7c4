#pragma once

#include "platform/mail/mcoattachment.h"

#include <QList>
#include <QString>

namespace tessaly {

// File names for a message's regular attachments: the n-th part with the same name (n >= 2)
// becomes "name n.ext", so none is lost to another of the same name.
class AttachmentNames {
public:
    // The duplicate number of each part, in order: empty for the first of a name, else "2"...
    static QStringList duplicateNumbers(const QList<MCOAttachment>& parts);
    static QString numberedName(const QString& name, const QString& number);
};

} // namespace tessaly
