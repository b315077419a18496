/* voduve_CuewardenStop: a VODUVE extension that, while the transport plays, stops
 * playback at "!stop" markers and jumps from "!jumpto<N>" markers to the marker "@<N>".
 *
 * Runs on VODUVE's main thread only (entry point and timer callback). Depends on libc
 * alone, allocates nothing on the heap, starts no threads and keeps all state in the
 * file-level variables below, so every freshly loaded copy starts clean. */
#define _POSIX_C_SOURCE 200809L

#include "voduve_api.h"

#include <errno.h>
#include <fcntl.h>
#include <locale.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#define CWS_EXPORT __attribute__((visibility("default")))

/* The test copy of the library logs to a path of its build tree instead. */
#ifndef CWS_LOG_PATH
#define CWS_LOG_PATH "/tmp/cws_debug.log"
#endif
static const char kLogPath[] = CWS_LOG_PATH;
enum { kLogBufferSize = 2048 };
/* "%.3f" of the largest double needs 309 digits, a sign, the point and three decimals. */
enum { kNumberBufferSize = 320 };
enum { kHeartbeatEvery = 100 };

static const double kWindowLead = 0.06;   /* seconds around the crossed span */
static const double kMaxStep = 2.0;       /* longer moves are seeks, not playback */
static const double kSelfJumpRange = 0.002;

static const char kStopName[] = "!stop";
static const char kJumpPrefix[] = "!jumpto";
enum { kJumpPrefixLength = sizeof kJumpPrefix - 1 };
static const char kTargetMark = '@';
static const char kInitLine[] = "[CWS] init\n";

/* ---- state ---------------------------------------------------------------------- */

static double g_lastPlayPos = -1.0;
static unsigned char g_registered = 0;

static VoduvePluginRegisterFn plugin_register = NULL;
static VoduveGetPlayStateFn GetPlayState = NULL;
static VoduveGetPlayPositionFn GetPlayPosition = NULL;
static VoduveCountProjectMarkersFn CountProjectMarkers = NULL;
static VoduveEnumProjectMarkers3Fn EnumProjectMarkers3 = NULL;
static VoduveEnumProjectsFn EnumProjects = NULL;
static VoduveMainOnCommandFn Main_OnCommand = NULL;
static VoduveSetEditCurPos2Fn SetEditCurPos2 = NULL;

static unsigned long long g_tickCounter = 0;
static unsigned char g_loggedInit = 0;
static unsigned char g_wasPlaying = 0;

/* After a jump to T the window's lower end is held at T, so a "!jumpto" placed just
 * before its own target cannot fire again on the ticks that follow the seek. The hold
 * ends once the normal lower end has passed T, on a large step, or when tracking resets. */
static double g_jumpFloor = 0.0;
static unsigned char g_jumpFloorActive = 0;

/* ---- log ------------------------------------------------------------------------ */

/* Opens the log without following a symlink and refuses anything but a plain file with
 * a single name, so a link planted in /tmp cannot redirect a write or a truncation to
 * another file; a FIFO without a reader fails at once instead of blocking. */
static int openLog(void) {
    const int fd = open(kLogPath, O_WRONLY | O_CREAT | O_APPEND | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, 0600);
    if (fd < 0) {
        return -1;
    }
    struct stat info;
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_nlink != 1) {
        close(fd);
        return -1;
    }
    return fd;
}

static void writeAll(int fd, const char* bytes, size_t length) {
    while (length > 0) {
        const ssize_t written = write(fd, bytes, length);
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            return;
        }
        bytes += written;
        length -= (size_t)written;
    }
}

static void startLog(void) {
    const int fd = openLog();
    if (fd < 0) {
        return;
    }
    if (ftruncate(fd, 0) == 0) {
        writeAll(fd, kInitLine, sizeof kInitLine - 1);
    }
    close(fd);
}

__attribute__((format(printf, 1, 2))) static void logLine(const char* format, ...) {
    char line[kLogBufferSize + 1];
    va_list args;
    va_start(args, format);
    const int formatted = vsnprintf(line, kLogBufferSize, format, args);
    va_end(args);
    if (formatted < 0) {
        return;
    }
    const int fd = openLog();
    if (fd < 0) {
        return;
    }
    size_t length = strlen(line);
    line[length++] = '\n';
    writeAll(fd, line, length);
    close(fd);
}

/* "%.3f" with a full stop as the decimal separator whatever numeric locale the host set. */
typedef struct {
    char text[kNumberBufferSize];
} Seconds;

static Seconds seconds(double value) {
    Seconds out;
    const int length = snprintf(out.text, sizeof out.text, "%.3f", value);
    if (length < 0) {
        out.text[0] = '\0';
        return out;
    }
    const struct lconv* conventions = localeconv();
    const char* point = conventions != NULL ? conventions->decimal_point : NULL;
    if (point == NULL || point[0] == '\0' || strcmp(point, ".") == 0) {
        return out;
    }
    char* found = strstr(out.text, point);
    if (found != NULL) {
        const size_t pointLength = strlen(point);
        found[0] = '.';
        memmove(found + 1, found + pointLength, strlen(found + pointLength) + 1);
    }
    return out;
}

/* ---- marker names --------------------------------------------------------------- */

static char asciiLower(char c) {
    return (c >= 'A' && c <= 'Z') ? (char)(c - 'A' + 'a') : c;
}

static bool startsWithIgnoringCase(const char* text, const char* prefix) {
    for (; *prefix != '\0'; ++text, ++prefix) {
        if (*text == '\0' || asciiLower(*text) != asciiLower(*prefix)) {
            return false;
        }
    }
    return true;
}

static bool equalsIgnoringCase(const char* text, const char* other) {
    return startsWithIgnoringCase(text, other) && text[strlen(other)] == '\0';
}

/* A complete base-10 number as strtol reads it, in 1 to 2147483647. */
static bool parseMarkerNumber(const char* text, int* number) {
    if (text[0] == '\0') {
        return false;
    }
    errno = 0;
    char* end = NULL;
    const long value = strtol(text, &end, 10);
    if (end == text || *end != '\0' || errno == ERANGE || value < 1 || value > 2147483647L) {
        return false;
    }
    *number = (int)value;
    return true;
}

static bool isStopMarker(const char* name) {
    return equalsIgnoringCase(name, kStopName);
}

static bool jumpMarkerNumber(const char* name, int* number) {
    return startsWithIgnoringCase(name, kJumpPrefix) && parseMarkerNumber(name + kJumpPrefixLength, number);
}

static bool isJumpTarget(const char* name, int number) {
    int parsed = 0;
    return name[0] == kTargetMark && parseMarkerNumber(name + 1, &parsed) && parsed == number;
}

/* ---- timer ---------------------------------------------------------------------- */

static void resetTracking(void) {
    g_lastPlayPos = -1.0;
    g_wasPlaying = 0;
    g_jumpFloorActive = 0;
}

static int countMarkers(VoduveProject* project) {
    int markers = 0;
    int regions = 0;
    CountProjectMarkers(project, &markers, &regions);
    const long long total = (long long)markers + (long long)regions;
    return total > 2147483647LL ? 2147483647 : (int)(total < 0 ? 0 : total);
}

/* The marker (not region) at an enumeration index, with a name; false for anything else. */
static bool readMarker(VoduveProject* project, int index, double* position, const char** name) {
    bool isRegion = false;
    double regionEnd = 0.0;
    int markerNumber = 0;
    int colour = 0;
    *position = 0.0;
    *name = NULL;
    if (!EnumProjectMarkers3(project, index, &isRegion, position, &regionEnd, name, &markerNumber, &colour)) {
        return false;
    }
    return !isRegion && *name != NULL;
}

/* Position of the first marker (not region) named "@<number>", in enumeration order. */
static bool findJumpTarget(VoduveProject* project, int number, double* targetPos) {
    const int count = countMarkers(project);
    for (int j = 0; j < count; ++j) {
        double position = 0.0;
        const char* name = NULL;
        if (!readMarker(project, j, &position, &name) || !isJumpTarget(name, number)) {
            continue;
        }
        *targetPos = position;
        return true;
    }
    return false;
}

/* Scans the markers crossed between last and pos. Returns true when a stop or a jump
 * ended the tick (and set the tracking state itself). */
static bool scanMarkers(VoduveProject* project, double last, double pos) {
    double lower;
    double upper;
    if (pos >= last) {
        lower = last - kWindowLead;
        upper = pos + kWindowLead;
    } else {
        lower = pos - kWindowLead;
        upper = last + kWindowLead;
    }
    if (g_jumpFloorActive) {
        if (lower > g_jumpFloor) {
            g_jumpFloorActive = 0;
        } else {
            lower = g_jumpFloor;
        }
    }

    const int count = countMarkers(project);
    for (int i = 0; i < count; ++i) {
        double position = 0.0;
        const char* name = NULL;
        if (!readMarker(project, i, &position, &name) || !(position >= lower && position <= upper)) {
            continue;
        }

        if (isStopMarker(name)) {
            logLine("[CWS] !stop hit at %s (window %s -> %s)", seconds(position).text, seconds(last).text,
                    seconds(pos).text);
            Main_OnCommand(VODUVE_COMMAND_TRANSPORT_STOP, 0);
            resetTracking();
            return true;
        }

        int number = 0;
        if (!jumpMarkerNumber(name, &number)) {
            continue;
        }
        double targetPos = 0.0;
        if (!findJumpTarget(project, number, &targetPos)) {
            logLine("[CWS] !jumpto%d found, but target @%d missing", number, number);
            continue;
        }
        const double distance = targetPos - position;
        if (distance <= kSelfJumpRange && distance >= -kSelfJumpRange) {
            logLine("[CWS] !jumpto%d ignored due to self-jump (marker=%s target=%s)", number, seconds(position).text,
                    seconds(targetPos).text);
            continue;
        }
        logLine("[CWS] !jumpto%d hit at %s -> target %s", number, seconds(position).text, seconds(targetPos).text);
        SetEditCurPos2(project, targetPos, false, true);
        g_lastPlayPos = targetPos;
        g_wasPlaying = 1;
        g_jumpFloor = targetPos;
        g_jumpFloorActive = 1;
        return true;
    }
    return false;
}

static void tick(void) {
    ++g_tickCounter;
    if (!g_loggedInit) {
        logLine("[CWS] timer active");
        g_loggedInit = 1;
    }
    if (GetPlayState == NULL || GetPlayPosition == NULL || EnumProjects == NULL || CountProjectMarkers == NULL ||
        EnumProjectMarkers3 == NULL || Main_OnCommand == NULL || SetEditCurPos2 == NULL) {
        logLine("[CWS] timer missing required function pointer(s)");
        return;
    }
    if ((GetPlayState() & 1) == 0) {
        if (g_wasPlaying == 1) {
            logLine("[CWS] playback stopped/reset");
        }
        resetTracking();
        return;
    }
    VoduveProject* const project = EnumProjects(-1, NULL, 0);
    if (project == NULL) {
        logLine("[CWS] no active project");
        resetTracking();
        return;
    }
    const double pos = GetPlayPosition();
    if (g_wasPlaying != 1 || g_lastPlayPos < 0.0) {
        resetTracking();
        g_lastPlayPos = pos;
        g_wasPlaying = 1;
        logLine("[CWS] start tracking at %s", seconds(pos).text);
        return;
    }

    const double last = g_lastPlayPos;
    const double step = pos - last;
    if (g_tickCounter % kHeartbeatEvery == 0) {
        logLine("[CWS] heartbeat pos=%s last=%s step=%s", seconds(pos).text, seconds(last).text, seconds(step).text);
    }
    if (step > kMaxStep || step < -kMaxStep) {
        logLine("[CWS] large step ignored: last=%s pos=%s step=%s", seconds(last).text, seconds(pos).text,
                seconds(step).text);
        g_jumpFloorActive = 0;
    } else if (scanMarkers(project, last, pos)) {
        return;
    }
    g_lastPlayPos = pos;
    g_wasPlaying = 1;
}

static void timerProc(void) {
    const int savedErrno = errno;
    tick();
    errno = savedErrno;
}

/* ---- entry point ---------------------------------------------------------------- */

static void* lookUp(const VoduveHostInfo* record, const char* name) {
    return record->lookupFunction != NULL ? record->lookupFunction(name) : NULL;
}

static const char* found(const void* pointer) {
    return pointer != NULL ? "OK" : "NULL";
}

static int32_t load(const VoduveHostInfo* record) {
    if (record->version != VODUVE_PLUGIN_VERSION) {
        return 0;
    }
    startLog();
    logLine("[CWS] entrypoint reached");

    plugin_register = (VoduvePluginRegisterFn)lookUp(record, "plugin_register");
    GetPlayState = (VoduveGetPlayStateFn)lookUp(record, "GetPlayState");
    GetPlayPosition = (VoduveGetPlayPositionFn)lookUp(record, "GetPlayPosition");
    CountProjectMarkers = (VoduveCountProjectMarkersFn)lookUp(record, "CountProjectMarkers");
    EnumProjectMarkers3 = (VoduveEnumProjectMarkers3Fn)lookUp(record, "EnumProjectMarkers3");
    EnumProjects = (VoduveEnumProjectsFn)lookUp(record, "EnumProjects");
    Main_OnCommand = (VoduveMainOnCommandFn)lookUp(record, "Main_OnCommand");
    SetEditCurPos2 = (VoduveSetEditCurPos2Fn)lookUp(record, "SetEditCurPos2");

    logLine("[CWS] plugin_register = %s", found((const void*)plugin_register));
    logLine("[CWS] GetPlayState = %s", found((const void*)GetPlayState));
    logLine("[CWS] GetPlayPosition = %s", found((const void*)GetPlayPosition));
    logLine("[CWS] CountProjectMarkers = %s", found((const void*)CountProjectMarkers));
    logLine("[CWS] EnumProjectMarkers3 = %s", found((const void*)EnumProjectMarkers3));
    logLine("[CWS] EnumProjects = %s", found((const void*)EnumProjects));
    logLine("[CWS] Main_OnCommand = %s", found((const void*)Main_OnCommand));
    logLine("[CWS] SetEditCurPos2 = %s", found((const void*)SetEditCurPos2));

    if (plugin_register == NULL || GetPlayState == NULL || GetPlayPosition == NULL || CountProjectMarkers == NULL ||
        EnumProjectMarkers3 == NULL || EnumProjects == NULL || Main_OnCommand == NULL || SetEditCurPos2 == NULL) {
        logLine("[CWS] missing required API function(s)");
        return 0;
    }
    if (plugin_register("timer", (void*)timerProc) == 0) {
        logLine("[CWS] plugin_register(timer) failed");
        return 0;
    }
    g_registered = 1;
    resetTracking();
    logLine("[CWS] plugin loaded successfully");
    return 1;
}

static void unload(void) {
    if (g_registered == 1 && plugin_register != NULL) {
        logLine("[CWS] unloading plugin");
        plugin_register("-timer", (void*)timerProc);
        g_registered = 0;
    }
}

CWS_EXPORT int32_t VoduvePluginEntry(void* instance, const VoduveHostInfo* record) {
    (void)instance;
    const int savedErrno = errno;
    int32_t result = 0;
    if (record != NULL) {
        result = load(record);
    } else {
        unload();
    }
    errno = savedErrno;
    return result;
}
