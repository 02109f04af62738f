#include "TextSafety.h"

namespace quorvi {

bool IsInvisibleControl(char32_t u) {
    const QChar::Category category = QChar::category(u);
    return category == QChar::Other_Format || category == QChar::Separator_Line ||
           category == QChar::Separator_Paragraph;
}

QString EscapeField(const QString& text) {
    QString out;
    out.reserve(text.size());
    for (const char32_t u : text.toUcs4()) {
        if (u == '\\')
            out += QStringLiteral("\\\\");
        else if (u == '\t')
            out += QStringLiteral("\\t");
        else if (u == '\n')
            out += QStringLiteral("\\n");
        else if (u == '\r')
            out += QStringLiteral("\\r");
        else if (u < 0x20 || (u >= 0x7f && u <= 0x9f))
            out += QStringLiteral("\\x%1").arg(static_cast<uint>(u), 2, 16, QChar('0'));
        else if (IsInvisibleControl(u))
            out += QStringLiteral("\\u{%1}").arg(static_cast<uint>(u), 4, 16, QChar('0'));
        else
            out += QString::fromUcs4(&u, 1);
    }
    return out;
}

QString SafeJson(const QJsonDocument& document, QJsonDocument::JsonFormat format) {
    const QString json = QString::fromUtf8(document.toJson(format));
    QString out;
    out.reserve(json.size());
    for (const char32_t u : json.toUcs4()) {
        if ((u >= 0x80 && u <= 0x9f) || IsInvisibleControl(u)) {
            // Beyond the BMP (the tag characters) as the UTF-16 pair JSON writes it with.
            for (const QChar half : QString::fromUcs4(&u, 1))
                out += QStringLiteral("\\u%1").arg(half.unicode(), 4, 16, QChar('0'));
        } else {
            out += QString::fromUcs4(&u, 1);
        }
    }
    return out;
}

QByteArray SurveyJsonText(const QJsonDocument& document) {
    return SafeJson(document, QJsonDocument::Indented).trimmed().toUtf8() + '\n';
}

}  // namespace quorvi
