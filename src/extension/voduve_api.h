/* The part of VODUVE's extension interface that voduve_CuewardenStop uses: the host
 * information record VODUVE passes to the entry point, and the signatures of the
 * VODUVE functions the extension looks up by name. Plain C, so the extension stays
 * free of the C++ runtime and the test host can include it as well. */
#ifndef VODUVE_API_H
#define VODUVE_API_H

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* The interface version the extension accepts. */
#define VODUVE_PLUGIN_VERSION 0x20E

/* Opaque handle of a VODUVE project. */
typedef struct VoduveProject VoduveProject;

/* Host information record, passed on load (null on unload). */
typedef struct VoduveHostInfo {
    int32_t version;                                  /* caller's interface version */
    void* mainWindow;                                 /* VODUVE's main window handle */
    int (*registerFunction)(const char* name, void* info);
    void* (*lookupFunction)(const char* name);        /* function address or null */
} VoduveHostInfo;

#if UINTPTR_MAX == 0xFFFFFFFFFFFFFFFFu
#ifdef __cplusplus
static_assert(offsetof(VoduveHostInfo, mainWindow) == 8, "record layout");
static_assert(offsetof(VoduveHostInfo, registerFunction) == 16, "record layout");
static_assert(offsetof(VoduveHostInfo, lookupFunction) == 24, "record layout");
#else
_Static_assert(offsetof(VoduveHostInfo, mainWindow) == 8, "record layout");
_Static_assert(offsetof(VoduveHostInfo, registerFunction) == 16, "record layout");
_Static_assert(offsetof(VoduveHostInfo, lookupFunction) == 24, "record layout");
#endif
#endif

/* The timer callback type registered through plugin_register("timer", ...). */
typedef void (*VoduveTimerProc)(void);

/* VODUVE functions, looked up by these names. */
typedef int (*VoduvePluginRegisterFn)(const char* name, void* info);
typedef int (*VoduveGetPlayStateFn)(void);
typedef double (*VoduveGetPlayPositionFn)(void);
typedef int (*VoduveCountProjectMarkersFn)(VoduveProject* project, int* markerCount, int* regionCount);
typedef int (*VoduveEnumProjectMarkers3Fn)(VoduveProject* project, int index, bool* isRegion, double* position,
                                           double* regionEnd, const char** name, int* markerNumber, int* colour);
typedef VoduveProject* (*VoduveEnumProjectsFn)(int index, char* fileNameOut, int fileNameOutSize);
typedef void (*VoduveMainOnCommandFn)(int command, int flag);
typedef void (*VoduveSetEditCurPos2Fn)(VoduveProject* project, double time, bool moveView, bool seekPlay);

/* The entry point every VODUVE extension exports: called with the record on load and
 * with null on unload; 1 means loaded and running, 0 everything else. */
typedef int32_t (*VoduvePluginEntryFn)(void* instance, const VoduveHostInfo* record);
int32_t VoduvePluginEntry(void* instance, const VoduveHostInfo* record);

/* Transport stop command for Main_OnCommand. */
#define VODUVE_COMMAND_TRANSPORT_STOP 1016

#ifdef __cplusplus
}
#endif

#endif
