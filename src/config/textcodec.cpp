#include "textcodec.h"
#include "korvinaerror.h"

#include <iconv.h>

#include <cerrno>
#include <mutex>

namespace {

// Both directions through glibc's iconv; the descriptors are made once.
struct Converter {
    iconv_t handle = reinterpret_cast<iconv_t>(-1);
    std::mutex lock;
    Converter(const char *to, const char *from) { handle = iconv_open(to, from); }
    ~Converter() {
        if (handle != reinterpret_cast<iconv_t>(-1))
            iconv_close(handle);
    }
};

QByteArray run(Converter &c, const QByteArray &in, const char *replacement, size_t skip)
{
    if (c.handle == reinterpret_cast<iconv_t>(-1))
        throw KorvinaError(QStringLiteral("Кодировка Windows-1251 недоступна (iconv)"));
    std::lock_guard<std::mutex> guard(c.lock);
    iconv(c.handle, nullptr, nullptr, nullptr, nullptr);
    QByteArray out;
    out.reserve(in.size() * 2 + 8);
    char *src = const_cast<char *>(in.constData());
    size_t srcLeft = static_cast<size_t>(in.size());
    char buffer[4096];
    while (srcLeft > 0) {
        char *dst = buffer;
        size_t dstLeft = sizeof buffer;
        size_t r = iconv(c.handle, &src, &srcLeft, &dst, &dstLeft);
        out.append(buffer, static_cast<qsizetype>(dst - buffer));
        if (r == static_cast<size_t>(-1)) {
            if (errno == E2BIG)
                continue;
            // An unmappable or broken sequence: write the replacement and step over it.
            out.append(replacement);
            size_t step = skip;
            if (skip == 0) { // UTF-8 input: skip one whole character
                unsigned char lead = static_cast<unsigned char>(*src);
                step = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
            }
            if (step > srcLeft)
                step = srcLeft;
            src += step;
            srcLeft -= step;
        }
    }
    return out;
}

Converter &encoder()
{
    static Converter c("CP1251", "UTF-8");
    return c;
}

Converter &decoder()
{
    static Converter c("UTF-8", "CP1251");
    return c;
}

} // namespace

namespace cp1251 {

QByteArray encode(const QString &text)
{
    bool ascii = true;
    for (QChar ch : text)
        if (ch.unicode() >= 0x80) {
            ascii = false;
            break;
        }
    if (ascii)
        return text.toLatin1();
    return run(encoder(), text.toUtf8(), "?", 0);
}

QString decode(const QByteArray &bytes)
{
    bool ascii = true;
    for (char b : bytes)
        if (static_cast<unsigned char>(b) >= 0x80) {
            ascii = false;
            break;
        }
    if (ascii)
        return QString::fromLatin1(bytes);
    return QString::fromUtf8(run(decoder(), bytes, "?", 1));
}

QString unencodable(const QString &text)
{
    QString out;
    if (decode(encode(text)) == text)
        return out;
    // Character by character (a surrogate pair counts as one).
    for (int i = 0; i < text.size(); ++i) {
        const int n = text[i].isHighSurrogate() && i + 1 < text.size() ? 2 : 1;
        const QString ch = text.mid(i, n);
        if (decode(encode(ch)) != ch && !out.contains(ch))
            out += ch;
        i += n - 1;
    }
    return out;
}

} // namespace cp1251
