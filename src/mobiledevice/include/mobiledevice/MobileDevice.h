/*
 * The mobile-device framework: the one C interface shared by libmobiledevice, Quillon and
 * QuillonHelper.
 *
 * The programs never link the library. They open it at run time and look every entry point
 * up by its name (dlsym), so this header gives, for each entry point, a function type
 * `<name>_f`. Code that does link the library (the library itself, its own tests and
 * benchmarks) defines MOBILEDEVICE_DECLARE_ENTRY_POINTS before including this header and then
 * also gets the prototypes. A program that binds at run time keeps a pointer of type
 * `<name>_f *` named like the entry point, so its calls read as plain calls.
 *
 * Conventions
 * - Strings are UTF-8, `const char *`. Property-list values are libplist `plist_t`; a value
 *   the library hands out ("Copy", "out" parameters) belongs to the caller (plist_free); a
 *   value the caller passes in stays the caller's.
 * - Every handle is opaque. Device references live as long as the process: a device that
 *   went away keeps its reference, and every call on it answers kAMDNotConnectedError.
 *   Service connections, file connections, directory and info references end with their
 *   close call; after it the handle must not be used again.
 * - Results are 32-bit codes, 0 = success. Device-level calls answer AMD codes (0xe8......),
 *   file calls answer small AFC codes, or an AMD code when the device itself is gone.
 * - Every entry point may be called from any thread; the library serialises what needs it.
 *   Callers are still expected to make one call at a time per device, as Quillon does under
 *   its device lock.
 *
 * Device notifications
 * The notification callback runs on the thread that pumps the library's run-loop source,
 * never on a library thread: AMDRunLoopSourceGetDescriptor() gives a file descriptor that
 * turns readable when callbacks are waiting, and AMDRunLoopSourcePerform() runs them on the
 * calling thread. Quillon watches the descriptor from its main thread (a QSocketNotifier),
 * so device_callback arrives on the main thread as the design expects. A fresh subscription
 * is first told of every device already attached (message 1), then of every change.
 */
#ifndef MOBILEDEVICE_MOBILEDEVICE_H
#define MOBILEDEVICE_MOBILEDEVICE_H

#include <plist/plist.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(MOBILEDEVICE_BUILDING_LIBRARY)
#define MOBILEDEVICE_API __attribute__((visibility("default")))
#else
#define MOBILEDEVICE_API
#endif

/* ---------------------------------------------------------------------------------------
 * Results
 * ------------------------------------------------------------------------------------- */

typedef int32_t AMDError; /* device-level result, 0 = success */
typedef int32_t AFCError; /* file-service result, 0 = success */

/* Codes the program acts on. */
#define kAMDSuccess                  ((AMDError)0)
#define kAMDHostTooOldError          ((AMDError)0xe8000013) /* host software too old for the device */
#define kAMDPasswordProtectedError   ((AMDError)0xe800001a) /* passcode set and device locked: pairing refused */
#define kAMDNotPairedError           ((AMDError)0xe8000025) /* the device is not paired with this host */
#define kAMDDeviceLockedError        ((AMDError)0xe8000096) /* passcode lock: service start refused */
/* The library's own codes for everything else. */
#define kAMDUndefinedError           ((AMDError)0xe8000001) /* unspecified failure (also a fault file's default) */
#define kAMDInvalidArgumentError     ((AMDError)0xe8000007) /* a null handle or argument */
#define kAMDUnsupportedError         ((AMDError)0xe800000b) /* not supported by this library (backup services started as plain services) */
#define kAMDInvalidServiceError      ((AMDError)0xe8000022) /* unknown service, or not offered by the device */
#define kAMDNotConnectedError        ((AMDError)0xe800002d) /* not connected, or the device went away */
#define kAMDSessionInactiveError     ((AMDError)0xe800003b) /* the call needs a session */
#define kAMDApplicationNotFoundError ((AMDError)0xe8000041) /* no such app on the device */
#define kAMDCommandRefusedError      ((AMDError)0xe8000042) /* the app-container service refused the command */
#define kAMDUserDeniedPairingError   ((AMDError)0xe8000095) /* the user did not trust this computer */
#define kAMDWakeupTokenError         ((AMDError)0xe80000a3) /* the token names no reachable device */
#define kAMDNoMessageError           ((AMDError)0xe80000a4) /* nothing to receive on a service connection */

/* File-service codes. */
#define kAFCSuccess             ((AFCError)0)
#define kAFCUnknownError        ((AFCError)1)  /* unspecified failure (also a fault file's default) */
#define kAFCNotADirectoryError  ((AFCError)4)  /* AFCDirectoryOpen: the item exists but is not a folder */
#define kAFCReadError           ((AFCError)5)  /* the device could not read the file */
#define kAFCWriteError          ((AFCError)6)  /* the device could not write the file */
#define kAFCInvalidArgumentError ((AFCError)7) /* bad path ("..", empty, outside the service) or argument */
#define kAFCObjectNotFoundError ((AFCError)8)  /* no such item */
#define kAFCIsADirectoryError   ((AFCError)9)  /* a folder where a file is needed */
#define kAFCPermissionError     ((AFCError)10) /* refused (escapes the service, read-only area, root) */
#define kAFCBadHandleError      ((AFCError)11) /* an unknown file reference */
#define kAFCObjectExistsError   ((AFCError)16) /* the item exists (folder creation over a file) */
#define kAFCNoSpaceError        ((AFCError)18) /* the device is full */
#define kAFCNotEmptyError       ((AFCError)19) /* removing a folder that still has items */

/* ---------------------------------------------------------------------------------------
 * Handles and constants
 * ------------------------------------------------------------------------------------- */

typedef struct AMDeviceOpaque *AMDeviceRef;
typedef struct AMDeviceNotificationOpaque *AMDeviceNotificationRef;
typedef struct AMDServiceConnectionOpaque *AMDServiceConnectionRef;
typedef struct AMDSecureIOContextOpaque *AMDSecureIOContextRef;
typedef struct AFCConnectionOpaque *AFCConnectionRef;
typedef struct AFCDirectoryOpaque *AFCDirectoryRef;
typedef struct AFCDictionaryOpaque *AFCDictionaryRef; /* key/value pairs of file or device info */
typedef struct AFCOperationOpaque *AFCOperationRef;
typedef uint64_t AFCFileRef;                          /* 0 is never a valid reference */

/* Notification messages. */
enum { kAMDeviceAttached = 1, kAMDeviceDetached = 2 };

/* What the notification callback receives. The first two fields are the device and the
 * message; the layout of those two never changes. */
typedef struct AMDeviceNotificationCallbackInfo {
    AMDeviceRef device;
    uint32_t message;
    AMDeviceNotificationRef subscription;
} AMDeviceNotificationCallbackInfo;

typedef void (*AMDeviceNotificationCallback)(const AMDeviceNotificationCallbackInfo *info,
                                             void *context);

/* AMDeviceGetInterfaceType */
enum { kAMDInterfaceUnknown = 0, kAMDInterfaceUSB = 1, kAMDInterfaceWiFi = 2 };

/* Property-list formats of AMDServiceConnectionSendMessage. */
enum { kAMDPropertyListXML = 100, kAMDPropertyListBinary = 200 };

/* AFCFileRefOpen modes. */
enum {
    kAFCFileModeRead = 1,            /* read only; the file must exist */
    kAFCFileModeReadWrite = 2,       /* read and write; created when missing, not truncated */
    kAFCFileModeWrite = 3,           /* write only; created or truncated */
    kAFCFileModeReadWriteCreate = 4, /* read and write; created or truncated */
    kAFCFileModeAppend = 5,          /* write at the end; created when missing */
    kAFCFileModeReadAppend = 6       /* read, and write at the end; created when missing */
};

/* AFCFileRefSeek origins (as SEEK_SET, SEEK_CUR, SEEK_END). */
enum { kAFCSeekSet = 0, kAFCSeekCurrent = 1, kAFCSeekEnd = 2 };

/* Service names. */
#define kAMDFileService           "com.apple.afc"  /* the media area */
#define kAMDWholeFileSystemService "com.apple.afc2" /* offered only by some devices */
#define kAMDSpringBoardService    "com.apple.springboardservices"

/* ---------------------------------------------------------------------------------------
 * Entry points. Each: its function type, then (when declared) its prototype.
 * ------------------------------------------------------------------------------------- */

#if defined(MOBILEDEVICE_DECLARE_ENTRY_POINTS) || defined(MOBILEDEVICE_BUILDING_LIBRARY)
#define MOBILEDEVICE_ENTRY(name) MOBILEDEVICE_API name##_f name;
#else
#define MOBILEDEVICE_ENTRY(name)
#endif

/* --- Notifications and the run-loop source ----------------------------------------- */

/* Subscribes `callback`; the two unused values and `context` may be zero. The handle goes
 * to *subscription. Errors: kAMDInvalidArgumentError. */
typedef AMDError AMDeviceNotificationSubscribe_f(AMDeviceNotificationCallback callback,
                                                 uint32_t unused0, uint32_t unused1,
                                                 void *context,
                                                 AMDeviceNotificationRef *subscription);
MOBILEDEVICE_ENTRY(AMDeviceNotificationSubscribe)
/* Ends a subscription; callbacks already waiting for it are dropped. */
typedef AMDError AMDeviceNotificationUnsubscribe_f(AMDeviceNotificationRef subscription);
MOBILEDEVICE_ENTRY(AMDeviceNotificationUnsubscribe)
/* Readable while callbacks wait to run. Valid for the life of the process. */
typedef int AMDRunLoopSourceGetDescriptor_f(void);
MOBILEDEVICE_ENTRY(AMDRunLoopSourceGetDescriptor)
/* Runs every waiting callback on the calling thread, in order; returns how many ran. A
 * callback may subscribe or unsubscribe; what it causes runs in a later turn. */
typedef int AMDRunLoopSourcePerform_f(void);
MOBILEDEVICE_ENTRY(AMDRunLoopSourcePerform)

/* --- Device --------------------------------------------------------------------------- */

/* Errors: kAMDNotConnectedError (gone). */
typedef AMDError AMDeviceConnect_f(AMDeviceRef device);
MOBILEDEVICE_ENTRY(AMDeviceConnect)
/* Ends the session too. Services already started keep working: their connections end
 * with their own close calls, or when the device goes away. */
typedef AMDError AMDeviceDisconnect_f(AMDeviceRef device);
MOBILEDEVICE_ENTRY(AMDeviceDisconnect)
/* 1 when this host is paired with the device, else 0. */
typedef int AMDeviceIsPaired_f(AMDeviceRef device);
MOBILEDEVICE_ENTRY(AMDeviceIsPaired)
/* Errors: kAMDNotConnectedError, kAMDNotPairedError. */
typedef AMDError AMDeviceValidatePairing_f(AMDeviceRef device);
MOBILEDEVICE_ENTRY(AMDeviceValidatePairing)
/* Errors: kAMDNotConnectedError, kAMDPasswordProtectedError (locked),
 * kAMDUserDeniedPairingError (the user refused this time). */
typedef AMDError AMDevicePair_f(AMDeviceRef device);
MOBILEDEVICE_ENTRY(AMDevicePair)
/* As AMDevicePair; `options` (may be null) is read for "ExtendedPairingErrors". */
typedef AMDError AMDevicePairWithOptions_f(AMDeviceRef device, plist_t options);
MOBILEDEVICE_ENTRY(AMDevicePairWithOptions)
/* Errors: kAMDNotConnectedError, kAMDNotPairedError, kAMDHostTooOldError. */
typedef AMDError AMDeviceStartSession_f(AMDeviceRef device);
MOBILEDEVICE_ENTRY(AMDeviceStartSession)
typedef AMDError AMDeviceStopSession_f(AMDeviceRef device);
MOBILEDEVICE_ENTRY(AMDeviceStopSession)
/* Starts a service in the open session. Errors: kAMDNotConnectedError,
 * kAMDSessionInactiveError, kAMDInvalidServiceError, kAMDDeviceLockedError. */
typedef AMDError AMDeviceStartService_f(AMDeviceRef device, const char *serviceName,
                                        AMDServiceConnectionRef *service);
MOBILEDEVICE_ENTRY(AMDeviceStartService)
/* As AMDeviceStartService, over an encrypted channel: the connection has a secure context
 * (AMDServiceConnectionGetSecureIOContext) that a file connection over it must be given. */
typedef AMDError AMDeviceSecureStartService_f(AMDeviceRef device, const char *serviceName,
                                              plist_t options, AMDServiceConnectionRef *service);
MOBILEDEVICE_ENTRY(AMDeviceSecureStartService)
/* The app-container service of one app. `options` null behaves as {"Command":
 * "VendContainer"}; {"Command": "VendDocuments"} offers only "/Documents". Errors:
 * kAMDApplicationNotFoundError, kAMDCommandRefusedError, and those of the service start. */
typedef AMDError AMDeviceStartHouseArrestService_f(AMDeviceRef device, const char *bundleId,
                                                   plist_t options,
                                                   AMDServiceConnectionRef *service);
MOBILEDEVICE_ENTRY(AMDeviceStartHouseArrestService)
/* *apps: a dictionary bundle identifier -> attributes. `options` (may be null):
 * "ApplicationType" ("Any", "User", "System") and "ReturnAttributes" (array of keys).
 * Needs a session. */
typedef AMDError AMDeviceLookupApplications_f(AMDeviceRef device, plist_t options, plist_t *apps);
MOBILEDEVICE_ENTRY(AMDeviceLookupApplications)
/* A copy of one value (domain null: the device's own values; key null: the whole domain as
 * a dictionary), or null when missing. The caller frees it. Needs a connection; values of a
 * named domain also need a session. */
typedef plist_t AMDeviceCopyValue_f(AMDeviceRef device, const char *domain, const char *key);
MOBILEDEVICE_ENTRY(AMDeviceCopyValue)
/* kAMDInterfaceUSB or kAMDInterfaceWiFi. */
typedef uint32_t AMDeviceGetInterfaceType_f(AMDeviceRef device);
MOBILEDEVICE_ENTRY(AMDeviceGetInterfaceType)
/* Keeps a Wi-Fi device awake for `seconds`. Returns an assertion number (0 when none was
 * made); the result code goes to *error (kAMDNotPairedError for an unpaired device). */
typedef uint32_t AMDevicePowerAssertionCreate_f(AMDeviceRef device, const char *type,
                                                const char *name, plist_t details,
                                                double seconds, AMDError *error);
MOBILEDEVICE_ENTRY(AMDevicePowerAssertionCreate)
/* *token: a dictionary to keep ("UniqueDeviceID", "WakeupToken"). Needs a session. */
typedef AMDError AMDeviceCreateWakeupToken_f(AMDeviceRef device, plist_t options, plist_t *token);
MOBILEDEVICE_ENTRY(AMDeviceCreateWakeupToken)
/* Wakes the device the token was made for. Errors: kAMDWakeupTokenError. */
typedef AMDError AMDeviceWakeupUsingToken_f(plist_t token);
MOBILEDEVICE_ENTRY(AMDeviceWakeupUsingToken)
/* Property-list messages over a service connection (binary format). */
typedef AMDError AMDeviceSendMessage_f(AMDServiceConnectionRef service, plist_t message);
MOBILEDEVICE_ENTRY(AMDeviceSendMessage)
typedef AMDError AMDeviceReceiveMessage_f(AMDServiceConnectionRef service, plist_t *message);
MOBILEDEVICE_ENTRY(AMDeviceReceiveMessage)
/* Drops the caller's interest in a device reference. References stay valid regardless
 * (see Conventions), so this never frees what another holder may still use. */
typedef void AMDeviceRelease_f(AMDeviceRef device);
MOBILEDEVICE_ENTRY(AMDeviceRelease)
/* A dictionary describing the device ("UniqueDeviceID", "SerialNumber", "DeviceName",
 * "ProductType", "ProductVersion", "InterfaceType"); the caller frees it. */
typedef plist_t AMDeviceSerialize_f(AMDeviceRef device);
MOBILEDEVICE_ENTRY(AMDeviceSerialize)
/* The device's identifier (its "UniqueDeviceID"), malloc'ed; the caller frees it. */
typedef char *AMDeviceCopyDeviceIdentifier_f(AMDeviceRef device);
MOBILEDEVICE_ENTRY(AMDeviceCopyDeviceIdentifier)

/* --- Service connections -------------------------------------------------------------- */

/* Non-null only for a connection made by a secure start. Owned by the connection. */
typedef AMDSecureIOContextRef AMDServiceConnectionGetSecureIOContext_f(AMDServiceConnectionRef service);
MOBILEDEVICE_ENTRY(AMDServiceConnectionGetSecureIOContext)
/* `format` is kAMDPropertyListXML or kAMDPropertyListBinary. */
typedef AMDError AMDServiceConnectionSendMessage_f(AMDServiceConnectionRef service,
                                                   plist_t message, uint32_t format);
MOBILEDEVICE_ENTRY(AMDServiceConnectionSendMessage)
/* *format (may be null) receives the format of the reply. Errors: kAMDNoMessageError. */
typedef AMDError AMDServiceConnectionReceiveMessage_f(AMDServiceConnectionRef service,
                                                      plist_t *message, uint32_t *format);
MOBILEDEVICE_ENTRY(AMDServiceConnectionReceiveMessage)
/* Closes and frees the connection, plain or secure. Do not call it for a connection that a
 * file connection was opened over: AFCConnectionClose ends both. */
typedef AMDError AMDServiceConnectionInvalidate_f(AMDServiceConnectionRef service);
MOBILEDEVICE_ENTRY(AMDServiceConnectionInvalidate)

/* --- File service --------------------------------------------------------------------- */

/* Opens a file connection over a started file service; the file connection takes the
 * service connection over. `ioTimeout` is ignored. */
typedef AFCError AFCConnectionOpen_f(AMDServiceConnectionRef service, uint32_t ioTimeout,
                                     AFCConnectionRef *connection);
MOBILEDEVICE_ENTRY(AFCConnectionOpen)
/* Closes the connection, its open files and its service connection. */
typedef AFCError AFCConnectionClose_f(AFCConnectionRef connection);
MOBILEDEVICE_ENTRY(AFCConnectionClose)
/* Gives a connection over a secure service its context; until then its file calls fail
 * with kAMDNotConnectedError. */
typedef AFCError AFCConnectionSetSecureContext_f(AFCConnectionRef connection,
                                                 AMDSecureIOContextRef context);
MOBILEDEVICE_ENTRY(AFCConnectionSetSecureContext)
/* Runs an operation; the result is the operation's. The operation stays the caller's. */
typedef AFCError AFCConnectionProcessOperation_f(AFCConnectionRef connection,
                                                 AFCOperationRef operation, double timeout);
MOBILEDEVICE_ENTRY(AFCConnectionProcessOperation)
/* An operation that sets `path`'s modification time (nanoseconds since 1970). */
typedef AFCOperationRef AFCOperationCreateSetModTime_f(const char *path, uint64_t nanoseconds);
MOBILEDEVICE_ENTRY(AFCOperationCreateSetModTime)
typedef void AFCOperationRelease_f(AFCOperationRef operation);
MOBILEDEVICE_ENTRY(AFCOperationRelease)

/* Errors: kAFCObjectNotFoundError, kAFCNotADirectoryError (the item is a file or a link to
 * one), kAFCInvalidArgumentError, kAFCPermissionError. */
typedef AFCError AFCDirectoryOpen_f(AFCConnectionRef connection, const char *path,
                                    AFCDirectoryRef *directory);
MOBILEDEVICE_ENTRY(AFCDirectoryOpen)
/* One name per call, "." and ".." included; *name becomes null after the last one. The name
 * belongs to the directory reference and lasts until the next read or the close. */
typedef AFCError AFCDirectoryRead_f(AFCConnectionRef connection, AFCDirectoryRef directory,
                                    char **name);
MOBILEDEVICE_ENTRY(AFCDirectoryRead)
typedef AFCError AFCDirectoryClose_f(AFCConnectionRef connection, AFCDirectoryRef directory);
MOBILEDEVICE_ENTRY(AFCDirectoryClose)
/* Creates the folder and any missing parents; an existing folder is success. Errors:
 * kAFCObjectExistsError (a file is in the way). */
typedef AFCError AFCDirectoryCreate_f(AFCConnectionRef connection, const char *path);
MOBILEDEVICE_ENTRY(AFCDirectoryCreate)
/* Information on the item itself (a link is not followed): "st_size", "st_blocks",
 * "st_nlink", "st_ifmt" ("S_IFREG", "S_IFDIR", "S_IFLNK", ...), "st_mtime" and
 * "st_birthtime" (nanoseconds since 1970), and "LinkTarget" for a link. Errors:
 * kAFCObjectNotFoundError. */
typedef AFCError AFCFileInfoOpen_f(AFCConnectionRef connection, const char *path,
                                   AFCDictionaryRef *info);
MOBILEDEVICE_ENTRY(AFCFileInfoOpen)
/* "Model", "FSTotalBytes", "FSFreeBytes", "FSBlockSize" of the connection's area. */
typedef AFCError AFCDeviceInfoOpen_f(AFCConnectionRef connection, AFCDictionaryRef *info);
MOBILEDEVICE_ENTRY(AFCDeviceInfoOpen)
/* One pair per call; both become null after the last pair. The strings belong to the
 * info reference and last until its close. */
typedef AFCError AFCKeyValueRead_f(AFCDictionaryRef info, char **key, char **value);
MOBILEDEVICE_ENTRY(AFCKeyValueRead)
typedef AFCError AFCKeyValueClose_f(AFCDictionaryRef info);
MOBILEDEVICE_ENTRY(AFCKeyValueClose)

/* Errors: kAFCObjectNotFoundError, kAFCIsADirectoryError, kAFCInvalidArgumentError. */
typedef AFCError AFCFileRefOpen_f(AFCConnectionRef connection, const char *path, uint64_t mode,
                                  AFCFileRef *file);
MOBILEDEVICE_ENTRY(AFCFileRefOpen)
/* Reads up to *length bytes at the file position; *length becomes the count read, 0 at the
 * end of the file. Errors: kAFCReadError, kAMDNotConnectedError. */
typedef AFCError AFCFileRefRead_f(AFCConnectionRef connection, AFCFileRef file, void *buffer,
                                  uint32_t *length);
MOBILEDEVICE_ENTRY(AFCFileRefRead)
/* Writes all `length` bytes at the file position. Errors: kAFCWriteError, kAFCNoSpaceError,
 * kAMDNotConnectedError. */
typedef AFCError AFCFileRefWrite_f(AFCConnectionRef connection, AFCFileRef file,
                                   const void *buffer, uint32_t length);
MOBILEDEVICE_ENTRY(AFCFileRefWrite)
typedef AFCError AFCFileRefSeek_f(AFCConnectionRef connection, AFCFileRef file, int64_t offset,
                                  uint64_t whence);
MOBILEDEVICE_ENTRY(AFCFileRefSeek)
typedef AFCError AFCFileRefClose_f(AFCConnectionRef connection, AFCFileRef file);
MOBILEDEVICE_ENTRY(AFCFileRefClose)
/* Removes a file, a link or an empty folder. Errors: kAFCNotEmptyError. */
typedef AFCError AFCRemovePath_f(AFCConnectionRef connection, const char *path);
MOBILEDEVICE_ENTRY(AFCRemovePath)
/* Renames or moves; an existing file at the target is replaced. */
typedef AFCError AFCRenamePath_f(AFCConnectionRef connection, const char *from, const char *to);
MOBILEDEVICE_ENTRY(AFCRenamePath)

/* --- Device link (backups) ---------------------------------------------------------------
 * A connection to a device's backup service ("com.apple.mobilebackup2", the current
 * protocol, or "com.apple.mobilebackup", the older one). Its events wait until the program
 * takes them: DLWaitForMessage waits at most `timeout` seconds for one event and runs the
 * matching slot of the callback table on the calling thread (kAMDSuccess), or answers
 * kAMDNoMessageError when none came, kAMDNotConnectedError once the connection is lost and
 * nothing is left. DLProcessMessage and DLSendFile never run a callback. A failing DLConnect
 * runs slot 3 with its description before it returns.
 * Slots (1-based) and their values: 2 connection made; 3 connection failed (value1: the
 * description, const char *); 6 connection lost; 7 process message (value1: the message,
 * plist_t); 10 file data of the older protocol (value1: a data node or null, value2: the info
 * dictionary); 11 current protocol: progress (value1: const double *), older protocol: the
 * cancel query asked before each file event (a non-zero answer stops the device).
 * Connection dictionary: "DLInfoServiceNameKey", and "DLInfoMobileDeviceRefKey" (the
 * listener's device reference as an integer) or "DLInfoMobileDeviceKey" (a serialized device
 * description with its "UniqueDeviceID"). */

typedef struct DLConnectionOpaque *DLConnectionRef;
typedef struct DLDeviceListenerOpaque *DLDeviceListenerRef;
typedef struct DLDeviceOpaque *DLDeviceRef;

/* A slot of the callback table: the connection and up to four values; answers 0. */
typedef int (*DLCallback)(DLConnectionRef connection, void *value1, void *value2, void *value3,
                          void *value4);
enum { kDLCallbackCount = 17 };
typedef struct DLCallbackTable {
    DLCallback callbacks[kDLCallbackCount];
} DLCallbackTable;

typedef AMDError DLCreateDeviceLinkConnectionForComputer_f(const DLCallbackTable *callbacks,
                                                           void *context,
                                                           DLConnectionRef *connection);
MOBILEDEVICE_ENTRY(DLCreateDeviceLinkConnectionForComputer)
/* *errorDescription (may be null) receives a malloc'ed text on failure. */
typedef AMDError DLConnect_f(DLConnectionRef connection, plist_t connectionInfo,
                             char **errorDescription);
MOBILEDEVICE_ENTRY(DLConnect)
typedef AMDError DLSetRootDirectory_f(DLConnectionRef connection, const char *path);
MOBILEDEVICE_ENTRY(DLSetRootDirectory)
typedef AMDError DLProcessMessage_f(DLConnectionRef connection, plist_t message,
                                    char **errorDescription);
MOBILEDEVICE_ENTRY(DLProcessMessage)
typedef AMDError DLWaitForMessage_f(DLConnectionRef connection, double timeout,
                                    char **errorDescription);
MOBILEDEVICE_ENTRY(DLWaitForMessage)
typedef AMDError DLSendFile_f(DLConnectionRef connection, const char *path, plist_t options,
                              char **errorDescription);
MOBILEDEVICE_ENTRY(DLSendFile)
typedef AMDError DLDisconnect_f(DLConnectionRef connection, const char *reason);
MOBILEDEVICE_ENTRY(DLDisconnect)
typedef AMDError DLDeleteDeviceLinkConnection_f(DLConnectionRef connection);
MOBILEDEVICE_ENTRY(DLDeleteDeviceLinkConnection)
typedef AMDError DLDeviceListenerCreate_f(DLDeviceListenerRef *listener);
MOBILEDEVICE_ENTRY(DLDeviceListenerCreate)
typedef AMDError DLDeviceWaitForAttachedDevice_f(DLDeviceListenerRef listener,
                                                 const char *deviceIdentifier, double timeout,
                                                 DLDeviceRef *device);
MOBILEDEVICE_ENTRY(DLDeviceWaitForAttachedDevice)
typedef plist_t DLDeviceCopyAMDValue_f(DLDeviceRef device, const char *domain, const char *key,
                                       AMDError *error);
MOBILEDEVICE_ENTRY(DLDeviceCopyAMDValue)

#undef MOBILEDEVICE_ENTRY

#ifdef __cplusplus
}
#endif

#endif /* MOBILEDEVICE_MOBILEDEVICE_H */
