// File error reasons: Qt reports only the system's English text (or its own translation of a few),
// so the text is matched back to the errno that produced it.
#include "core/file_reason.h"

#include <QCoreApplication>
#include <QFileDevice>

#include <cerrno>
#include <iterator>

namespace {

struct Reason {
    int code;
    const char* text;
};

const Reason reasons[] = {
    {ENOENT, "файл или папка не существует"},
    {EACCES, "нет прав доступа"},
    {EPERM, "нет прав доступа"},
    {EROFS, "файловая система только для чтения"},
    {ENOSPC, "нет места на диске"},
    {EISDIR, "это папка, а не файл"},
    {ENOTDIR, "часть пути — не папка"},
};

QString russian(int code) {
    for (const Reason& r : reasons)
        if (r.code == code)
            return QString::fromUtf8(r.text);
    return {};
}

// Qt's own texts for the same cases, which it reports instead of the system's; with Qt's translations
// loaded they arrive translated.
bool is_qt_text(const QString& text, const char* context, const char* source) {
    return text == QLatin1String(source) || text == QCoreApplication::translate(context, source);
}

// A Qt text with the file's name in it, "...%1...".
bool is_qt_pattern(const QString& text, const char* context, const char* source) {
    for (const QString& pattern :
         {QString::fromLatin1(source), QCoreApplication::translate(context, source)}) {
        const qsizetype at = pattern.indexOf(QLatin1String("%1"));
        if (at >= 0 && text.size() > pattern.size() - 2 && text.startsWith(pattern.left(at)) &&
            text.endsWith(pattern.mid(at + 2)))
            return true;
    }
    return false;
}

} // namespace

QString file_reason(const QFileDevice& file) {
    QString text = file.errorString();
    // Qt builds the text with qt_error_string(errno), so comparing with it finds the errno again
    // whatever the locale or Qt's translations make of it.
    for (const Reason& r : reasons)
        if (text == qt_error_string(r.code))
            return QString::fromUtf8(r.text);
    if (is_qt_text(text, "QIODevice", "file to open is a directory") ||
        is_qt_text(text, "QSaveFile", "Filename refers to a directory"))
        return russian(EISDIR);
    if (is_qt_pattern(text, "QSaveFile", "Existing file %1 is not writable"))
        return russian(EACCES);
    return text;
}

QString errno_reason(int code) {
    const QString text = russian(code);
    return text.isEmpty() ? qt_error_string(code) : text;
}
