// The installer log: one list for the life of the loaded library, echoed entry by entry while the
// installer runs and dumped as a whole (console and debug file) at the end of a run.
#include "Installer.h"

#include <cstdarg>
#include <cstdlib>

namespace {

const char *const kTags[] = {"ERR:", "NFO:", "DBG:", "SUC:", "ENT:", "EXT:"};

InstallLog *g_log;

// The library opens at most a debug and an exclude file per call; a few calls per process.
constexpr int kMaxTracked = 32;
FILE *g_streams[kMaxTracked];

void CopyCut(char *dst, size_t size, const char *src)
{
    if (!src)
        src = "";
    size_t n = strlen(src);
    if (n >= size)
        n = size - 1;
    memcpy(dst, src, n);
    dst[n] = 0;
}

} // namespace

void FormatMessageText(char (&buffer)[kMessageSize], const char *format, ...)
{
    va_list args;
    va_start(args, format);
    vsnprintf(buffer, sizeof buffer, format, args);
    va_end(args);
}

InstallLog *LogCreate()
{
    return (InstallLog *)calloc(1, sizeof(InstallLog));
}

void LogRelease(InstallLog *log)
{
    while (log) {
        InstallLog *next = log->next;
        free(log);
        log = next;
    }
}

InstallLog *TheLog()
{
    return g_log;
}

void SetTheLog(InstallLog *log)
{
    g_log = log;
}

void TrackStream(FILE *stream)
{
    if (!stream)
        return;
    for (FILE *&slot : g_streams)
        if (!slot) {
            slot = stream;
            return;
        }
}

void CloseTrackedStreams()
{
    for (FILE *&slot : g_streams)
        if (slot) {
            fclose(slot);
            slot = nullptr;
        }
}

int LogAppend(InstallLog *log, DWORD error, int32_t kind, int32_t line, const char *function, const char *file,
              const char *text)
{
    if (!log)
        return 0;
    InstallLog *last = log;
    while (last->next)
        last = last->next;
    LogEntry *entry = (LogEntry *)calloc(1, sizeof(LogEntry));
    if (!entry)
        return 0;
    entry->kind = kind;
    entry->line = line;
    CopyCut(entry->function, sizeof entry->function, function);
    CopyCut(entry->file, sizeof entry->file, file);
    CopyCut(entry->tag, sizeof entry->tag, (kind >= 0 && kind <= LOG_EXIT) ? kTags[kind] : "");

    if (error != 0 || !text || !*text) {
        char system[255] = {};
        DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error, 0x400,
                                 system, sizeof system, nullptr);
        if (n == 0)
            snprintf(entry->message, sizeof entry->message, "Returned error: %X", (unsigned)error);
        else
            CopyCut(entry->message, sizeof entry->message, system);
    } else {
        CopyCut(entry->message, sizeof entry->message, text);
    }
    size_t len = strlen(entry->message);
    if (len < sizeof entry->message - 1) {
        entry->message[len] = '\n';
        entry->message[len + 1] = 0;
    }
    last->next = entry;
    return 1;
}

void LogEcho(InstallLog *log)
{
    if (!log || !log->next)
        return;
    LogEntry *last = log->next;
    while (last->next)
        last = last->next;
    if (last->kind == LOG_ERROR)
        fprintf(stderr, "%s(%i) : %s-> %s", last->file, last->line, last->function, last->message);
    else
        fprintf(stdout, "%s", last->message);
    fflush(stdout);
}

void LogDump(InstallLog *log, int32_t level, FILE *debugFile)
{
    if (!log)
        return;
    for (LogEntry *e = log->next; e; e = e->next) {
        switch (level) {
        case 0:
            if (e->kind == LOG_SUCCESS)
                fprintf(stdout, "%s", e->message);
            break;
        case 1:
            if (e->kind == LOG_SUCCESS || e->kind == LOG_INFO)
                fprintf(stdout, "%s", e->message);
            break;
        case 2:
            fprintf(e->kind == LOG_ERROR ? stderr : stdout, "%s %s(%i) : %s-> %s", e->tag, e->file, e->line,
                    e->function, e->message);
            break;
        default:
            break;
        }
        if (debugFile)
            fprintf(debugFile, "%s %s(%i) : %s-> %s", e->tag, e->file, e->line, e->function, e->message);
    }
    fflush(stdout);
    if (debugFile)
        fflush(debugFile);
}
