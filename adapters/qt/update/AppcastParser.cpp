#include "adapters/qt/update/AppcastParser.h"

#include <QXmlStreamReader>

namespace sorvane {
namespace {

std::string text(QStringView value) { return value.toString().trimmed().toStdString(); }

int64_t lengthOf(QStringView value) {
    bool ok = false;
    const qlonglong n = value.toString().trimmed().toLongLong(&ok);
    return ok && n >= 0 ? n : -1;
}

FeedResult failure(std::string why) {
    FeedResult result;
    result.error = std::move(why);
    return result;
}

} // namespace

FeedResult parseAppcast(const QByteArray& xml) {
    const QString sparkle = QString::fromLatin1(kSparkleNamespace);
    QXmlStreamReader reader(xml);
    FeedResult result;
    bool sawRoot = false;
    AppcastItem* item = nullptr;
    while (!reader.atEnd()) {
        reader.readNext();
        if (reader.tokenType() == QXmlStreamReader::DTD)
            return failure("the feed declares a DTD, which is not accepted");
        if (reader.isEndElement() && item && reader.name() == u"item" && reader.namespaceUri().isEmpty()) {
            item = nullptr;
            continue;
        }
        if (!reader.isStartElement())
            continue;
        if (!sawRoot) {
            if (reader.name() != u"rss")
                return failure("the feed is not RSS (its root is <" + reader.name().toString().toStdString() + ">)");
            sawRoot = true;
            continue;
        }
        const QStringView name = reader.name();
        const QStringView ns = reader.namespaceUri();
        if (!item) {
            if (name == u"item" && ns.isEmpty())
                item = &result.items.emplace_back();
            continue;
        }
        if (ns.isEmpty()) {
            if (name == u"title") {
                item->title = text(reader.readElementText(QXmlStreamReader::SkipChildElements));
            } else if (name == u"description") {
                item->releaseNotes = text(reader.readElementText(QXmlStreamReader::IncludeChildElements));
            } else if (name == u"link") {
                item->link = text(reader.readElementText(QXmlStreamReader::SkipChildElements));
            } else if (name == u"pubDate") {
                item->pubDate = text(reader.readElementText(QXmlStreamReader::SkipChildElements));
            } else if (name == u"enclosure") {
                const auto attributes = reader.attributes();
                item->enclosureUrl = text(attributes.value(QStringLiteral("url")));
                item->enclosureLength = attributes.hasAttribute(QStringLiteral("length")) ? lengthOf(attributes.value(QStringLiteral("length"))) : -1;
                item->edSignature = text(attributes.value(sparkle, QStringLiteral("edSignature")));
                // Older feeds put the versions on the enclosure.
                if (item->version.empty())
                    item->version = text(attributes.value(sparkle, QStringLiteral("version")));
                if (item->shortVersionString.empty())
                    item->shortVersionString = text(attributes.value(sparkle, QStringLiteral("shortVersionString")));
            }
        } else if (ns == sparkle) {
            if (name == u"version")
                item->version = text(reader.readElementText(QXmlStreamReader::SkipChildElements));
            else if (name == u"shortVersionString")
                item->shortVersionString = text(reader.readElementText(QXmlStreamReader::SkipChildElements));
            else if (name == u"releaseNotesLink")
                item->releaseNotesLink = text(reader.readElementText(QXmlStreamReader::SkipChildElements));
        }
    }
    if (reader.hasError())
        return failure("malformed XML at line " + std::to_string(reader.lineNumber()) + ": " +
                       reader.errorString().toStdString());
    if (!sawRoot)
        return failure("the feed is empty");
    result.ok = true;
    return result;
}

} // namespace sorvane
