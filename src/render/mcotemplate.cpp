#include "render/mcotemplate.h"

namespace tessaly {

namespace {

QString fillRange(QStringView templ, const QHash<QString, QString>& values, int depth) {
    QString out;
    qsizetype pos = 0;
    while (pos < templ.size()) {
        const qsizetype open = templ.indexOf(u"{{", pos);
        if (open < 0) {
            out += templ.mid(pos);
            break;
        }
        out += templ.mid(pos, open - pos);
        const qsizetype close = templ.indexOf(u"}}", open + 2);
        if (close < 0) {
            out += templ.mid(open);
            break;
        }
        const QStringView tag = templ.mid(open + 2, close - open - 2).trimmed();
        pos = close + 2;
        if (tag.startsWith(u'#') && depth < 16) {
            const QString name = tag.mid(1).toString();
            const QString end = QStringLiteral("{{/") + name + QStringLiteral("}}");
            const qsizetype endPos = templ.indexOf(end, pos);
            if (endPos < 0) {
                continue; // an unclosed section opens nothing
            }
            if (!values.value(name).isEmpty()) {
                out += fillRange(templ.mid(pos, endPos - pos), values, depth + 1);
            }
            pos = endPos + end.size();
        } else if (tag.startsWith(u'/')) {
            continue; // a stray section end
        } else {
            out += values.value(tag.toString());
        }
    }
    return out;
}

} // namespace

QString fillTemplate(const QString& templ, const QHash<QString, QString>& values) {
    return fillRange(templ, values, 0);
}

QString escapeHtml(const QString& text) {
    QString out = text;
    out.replace(u'&', QStringLiteral("&amp;"));
    out.replace(u'"', QStringLiteral("&quot;"));
    out.replace(u'\'', QStringLiteral("&#39;"));
    out.replace(u'>', QStringLiteral("&gt;"));
    out.replace(u'<', QStringLiteral("&lt;"));
    return out;
}

} // namespace tessaly
