#include "render/messagetags.h"

#include "render/renderlog.h"
#include "tags/openmeta.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

namespace tessaly {

QStringList MessageTags::keywordsOf(const MCOMessageHeader& header) {
    const std::optional<QString> field = header.extraHeaderValueForName(u"X-Keywords");
    if (!field || field->isEmpty()) {
        return {};
    }
    const QStringList byComma = field->split(u',');
    const QStringList bySpace = field->split(u' ');
    if (bySpace.size() <= byComma.size()) {
        return byComma;
    }
    QStringList words;
    for (QString word : bySpace) {
        words.append(word.replace(u'_', u' '));
    }
    return words;
}

QStringList MessageTags::mailTagsOf(const MCOMessageHeader& header) {
    const std::optional<QString> field = header.extraHeaderValueForName(u"X-Mailtags");
    if (!field || field->isEmpty()) {
        return {};
    }
    const QJsonDocument json = QJsonDocument::fromJson(field->toUtf8());
    QStringList tags;
    for (const QJsonValue& value :
         json.object().value(QStringLiteral("mailTagsKeyWords")).toArray()) {
        if (value.isString()) {
            tags.append(value.toString());
        }
    }
    return tags;
}

bool MessageTags::addAppleTags(const MCOMessageHeader& header, const QString& path) {
    const QStringList tags = keywordsOf(header) + mailTagsOf(header);
    if (tags.isEmpty()) {
        return true;
    }
    if (const OpenMetaResult error = OpenMeta::setUserTags(tags, path)) {
        qCWarning(lcRender).noquote() << "cannot tag" << path << ":" << error->info;
        return false;
    }
    return true;
}

} // namespace tessaly
