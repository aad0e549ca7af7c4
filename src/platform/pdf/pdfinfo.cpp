#include "platform/pdf/pdfinfo.h"

#include "platform/files/atomicfile.h"

#include <QFile>
#include <qpdf/Buffer.hh>
#include <qpdf/QPDF.hh>
#include <qpdf/QPDFObjectHandle.hh>
#include <qpdf/QPDFWriter.hh>

#include <exception>

namespace tessaly {

namespace {

QPDFObjectHandle infoDictionary(QPDF& pdf, bool create) {
    QPDFObjectHandle trailer = pdf.getTrailer();
    QPDFObjectHandle info = trailer.getKey("/Info");
    if (info.isDictionary() || !create) {
        return info;
    }
    info = pdf.makeIndirectObject(QPDFObjectHandle::newDictionary());
    trailer.replaceKey("/Info", info);
    return info;
}

} // namespace

QString PdfInfo::pdfDate(const QDateTime& date) {
    return date.toUTC().toString(QStringLiteral("'D:'yyyyMMddHHmmss'Z'"));
}

namespace {

QMap<QString, QString> textAttributes(QPDFObjectHandle info) {
    QMap<QString, QString> attributes;
    if (!info.isDictionary()) {
        return attributes;
    }
    for (const std::string& key : info.getKeys()) {
        QPDFObjectHandle value = info.getKey(key);
        if (value.isString()) {
            attributes.insert(QString::fromStdString(key.substr(1)),
                              QString::fromStdString(value.getUTF8Value()));
        }
    }
    return attributes;
}

} // namespace

bool PdfInfo::read(const QString& path, QMap<QString, QString>& attributes, QString* error) {
    try {
        QPDF pdf;
        pdf.setSuppressWarnings(true);
        pdf.processFile(QFile::encodeName(path).constData());
        attributes = textAttributes(infoDictionary(pdf, false));
        return true;
    } catch (const std::exception& e) {
        if (error) {
            *error = QString::fromUtf8(e.what());
        }
        return false;
    }
}

bool PdfInfo::write(const QString& path, const QMap<QString, QVariant>& attributes,
                    QString* error) {
    return update(
        path, [&attributes](const QMap<QString, QString>&) { return attributes; }, error);
}

namespace {

// Applies `change` to the Info dictionary of a loaded document and writes it to memory.
QByteArray applyChange(QPDF& pdf, const PdfInfo::Change& change) {
    QPDFObjectHandle info = infoDictionary(pdf, true);
    const QMap<QString, QVariant> attributes = change(textAttributes(info));
    for (auto it = attributes.begin(); it != attributes.end(); ++it) {
        QString text;
        if (it.value().typeId() == QMetaType::QDateTime) {
            text = PdfInfo::pdfDate(it.value().toDateTime());
        } else if (it.value().typeId() == QMetaType::QString) {
            text = it.value().toString();
        } else {
            continue;
        }
        // Appending rather than "/" + key: GCC 12 warns falsely (-Wrestrict) on the latter.
        std::string key("/");
        key.append(it.key().toStdString());
        info.replaceKey(key, QPDFObjectHandle::newUnicodeString(text.toStdString()));
    }
    QPDFWriter writer(pdf);
    writer.setOutputMemory();
    writer.write();
    std::unique_ptr<Buffer> buffer(writer.getBuffer());
    return QByteArray(reinterpret_cast<const char*>(buffer->getBuffer()),
                      static_cast<qsizetype>(buffer->getSize()));
}

} // namespace

std::optional<QByteArray> PdfInfo::updated(const QByteArray& document, const Change& change,
                                           QString* error) {
    try {
        QPDF pdf;
        pdf.setSuppressWarnings(true);
        pdf.processMemoryFile("document", document.constData(),
                              static_cast<size_t>(document.size()));
        return applyChange(pdf, change);
    } catch (const std::exception& e) {
        if (error) {
            *error = QString::fromUtf8(e.what());
        }
        return std::nullopt;
    }
}

bool PdfInfo::update(const QString& path, const Change& change, QString* error) {
    QByteArray bytes;
    try {
        QPDF pdf;
        pdf.setSuppressWarnings(true);
        pdf.processFile(QFile::encodeName(path).constData());
        bytes = applyChange(pdf, change);
    } catch (const std::exception& e) {
        if (error) {
            *error = QString::fromUtf8(e.what());
        }
        return false;
    }
    const WriteOutcome outcome = writeFileAtomically(path, bytes, ExistingFile::Replace);
    if (!outcome.written() && error) {
        *error = outcome.error;
    }
    return outcome.written();
}

} // namespace tessaly
