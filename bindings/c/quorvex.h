/* The Quorvex SDK's C API: the SDK for every language that can call C.
 *
 * Stability: within a major version (4.x) every name and signature here
 * stays, and a program built against 4.y runs with every later 4.z shared
 * library that has the same major version's C API. Names are only added;
 * a changed meaning gets a new name. Structures that may grow carry their
 * size as their first field (set it to sizeof the structure); the others are
 * opaque. The exported qx_ names are the committed list in
 * bindings/c/quorvex.symbols.
 *
 * Results: a function that can fail returns an int: 0 on success (1 or 0
 * where it answers a yes/no question), or a negative QX_E_ code. Then
 * qx_last_error() says why, in a message of its own. No call aborts the
 * process, throws into C or reads memory that the arguments do not name.
 *
 * Strings: every string argument is UTF-8 and NUL-terminated, at most
 * QX_MAX_TEXT_LENGTH bytes; text that is not UTF-8 is refused with
 * QX_E_ENCODING. The _n variants take a pointer and a length instead, so
 * that a value may hold NUL bytes (NULL with length 0 is the empty text).
 * Arguments are copied before the call returns: the caller keeps ownership.
 * A string the SDK returns through a char** is allocated for the caller,
 * NUL-terminated (its length, which counts NUL bytes inside, comes beside
 * it) and freed with qx_free(). A const char* that the SDK returns lives as
 * its function says.
 *
 * Handles: qx_tracker, qx_app_vars and qx_product are opaque. Each _new
 * gives a handle that the caller frees with its _free (NULL is a no-op). A
 * handle is a token, never reused in the process: a freed handle, a handle of
 * another kind and any pointer that is not a handle are refused with
 * QX_E_INVALID_HANDLE. What cannot be detected is memory handed in as a
 * string or a buffer that is not what its length says.
 *
 * Threads: every function may be called from any thread, at the same time
 * as any other, on the same handles too. A handle freed while a call on
 * another thread uses it stays alive until that call returns; calls made
 * after the free are refused. The platform is installed once, before the
 * first tracker. Callbacks run on the SDK's threads (see each one).
 */
#ifndef QUORVEX_QUORVEX_H_
#define QUORVEX_QUORVEX_H_

#include <stddef.h>
#include <stdint.h>

#if defined(__GNUC__)
/* The export mark of the C API's functions. */
#define QX_API __attribute__((visibility("default")))
#else
/* The export mark of the C API's functions. */
#define QX_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ------------------------------------------------------------------------
 * Results and errors
 * ------------------------------------------------------------------------ */

enum {
  QX_OK = 0,
  QX_E_INVALID_ARGUMENT = -1, /* NULL, empty or out of range where a value is needed */
  QX_E_INVALID_HANDLE = -2,   /* freed, of another kind, or not a handle */
  QX_E_ENCODING = -3,         /* a string that is not UTF-8 */
  QX_E_TOO_LARGE = -4,        /* a string longer than QX_MAX_TEXT_LENGTH */
  QX_E_NO_MEMORY = -5,        /* memory ran out; nothing was changed */
  QX_E_BAD_URL = -6,          /* not an http or https URL with a host */
  QX_E_STATE = -7,            /* not at this moment (see the function) */
  QX_E_CORRUPT = -8,          /* an archive that is damaged or not an archive */
  QX_E_NOT_SUPPORTED = -9,    /* a later format, or structure fields this library lacks */
  QX_E_INTERNAL = -10         /* the SDK failed; the message says how */
};

/* The longest string, key or value the SDK takes, in bytes. */
#define QX_MAX_TEXT_LENGTH ((size_t)64 * 1024 * 1024)

/* The message of this thread's last call: why it failed, or "" when it
 * succeeded. Valid until this thread's next qx_ call (other than the three
 * below) or its end. Never NULL. */
QX_API const char* qx_last_error(void);

/* The code of this thread's last call: a QX_E_ code when it failed, else 0.
 * For the functions that return a handle or nothing. */
QX_API int qx_last_error_code(void);

/* The name of a result code ("QX_E_ENCODING"); a static string. */
QX_API const char* qx_strerror(int code);

/* The SDK's version, "MAJOR.MINOR.PATCH"; a static string. */
QX_API const char* qx_version(void);

/* Frees what the SDK returned through a char** (NULL is a no-op). */
QX_API void qx_free(void* memory);

/* ------------------------------------------------------------------------
 * The Linux platform
 * ------------------------------------------------------------------------ */

/* One entry of a dictionary given to the SDK. */
typedef struct qx_key_value {
  const char* key;   /* UTF-8, not empty */
  const char* value; /* UTF-8 */
} qx_key_value;

/* What Linux has no notion of, described by the application. Every pointer
 * may be NULL (the default); an empty string is refused. */
typedef struct qx_platform_options {
  size_t size; /* sizeof(qx_platform_options) */
  /* Where the SDK keeps its state and outbox. NULL:
   * $XDG_DATA_HOME/quorvex/<bundle identifier>, else
   * ~/.local/share/quorvex/<bundle identifier>, else
   * $XDG_RUNTIME_DIR/quorvex/<bundle identifier>, else memory only. A
   * directory that is not the process's own is not used (README,
   * "Persisted state"). */
  const char* data_directory;
  const char* bundle_identifier; /* NULL: the executable's name */
  /* "fr_FR" (a POSIX name's codeset counts too); NULL: LC_ALL, LC_MESSAGES, LANG */
  const char* locale_identifier;
  /* Values of the information dictionary, e.g. {"CFBundleShortVersionString",
   * "2.3.0"}, {"CFBundleVersion", "230"}, {"CFBundleName", "Shop"}. */
  const qx_key_value* info_dictionary;
  size_t info_dictionary_count;
  /* The main screen in points, when has_screen is 1 (0 to 1e6 each). */
  int has_screen;
  double screen_width;
  double screen_height;
} qx_platform_options;

/* Threads: any thread. An install and the first tracker never overlap: the
 * tracker reads the platform installed before it, or the default one. */

/* Installs the Linux platform: a data directory and a bundle identifier
 * (NULL: the default of each). Call it before the first tracker, the first
 * delivery call and the first application transition: afterwards it fails
 * with QX_E_STATE. May be called again until then; the last one counts. */
QX_API int qx_platform_install_linux(const char* data_directory, const char* bundle_identifier);
/* The same with every option; fields beyond options->size are the defaults. */
QX_API int qx_platform_install_linux_options(const qx_platform_options* options);

/* The application's transitions, from its own life-cycle handlers. While in
 * background hits wait in the outbox, unless running in background is on
 * (qx_tracker_enable_running_in_background). */
QX_API int qx_application_did_enter_background(void);
/* The application comes back to foreground: hits waiting go out, and a stay
 * in background of more than 30 minutes starts a new session. */
QX_API int qx_application_will_enter_foreground(void);

/* ------------------------------------------------------------------------
 * Products: fourteen fixed text fields and custom properties
 * ------------------------------------------------------------------------ */

/* A product (opaque; see Handles at the top). */
typedef struct qx_product qx_product;

/* Threads: any thread, on the same product too; each call is atomic. Adding
 * a product to a tracker or application variables copies it: later changes
 * do not reach them. */

/* The fixed fields; each is absent until set. In a hit they are flattened
 * as name[product_id][index], ... */
enum {
  QX_PRODUCT_ID = 0,           /* product_id */
  QX_PRODUCT_NAME = 1,         /* product_name */
  QX_PRODUCT_QUANTITY = 2,     /* product_quantity */
  QX_PRODUCT_CATEGORY = 3,     /* product_category */
  QX_PRODUCT_PRICE = 4,        /* product_price */
  QX_PRODUCT_PRICE_ATI = 5,    /* product_unit_price_ati */
  QX_PRODUCT_DISCOUNT_ATI = 6, /* product_unit_discount_ati */
  QX_PRODUCT_PRICE_TF = 7,     /* product_unit_price_tf */
  QX_PRODUCT_DISCOUNT_TF = 8,  /* product_unit_discount_tf */
  QX_PRODUCT_TRADEMARK = 9,    /* product_trademark */
  QX_PRODUCT_URL_PAGE = 10,    /* product_url_page */
  QX_PRODUCT_URL_PICTURE = 11, /* product_url_picture */
  QX_PRODUCT_RATING = 12,      /* product_rating */
  QX_PRODUCT_IN_STOCK = 13     /* product_in_stock */
};

/* NULL when memory ran out. */
QX_API qx_product* qx_product_new(void);
/* Frees a product made by qx_product_new (NULL is a no-op). */
QX_API void qx_product_free(qx_product* product);
/* Sets a fixed field (QX_PRODUCT_) to a value. */
QX_API int qx_product_set(qx_product* product, int field, const char* value);
/* qx_product_set with a value of `length` bytes, NUL bytes allowed. */
QX_API int qx_product_set_n(qx_product* product, int field, const char* value, size_t length);
/* Makes the field absent again. */
QX_API int qx_product_unset(qx_product* product, int field);
/* 1 with *value (free with qx_free) and *length (may be NULL) set; 0 when the
 * field is absent, *value then NULL. */
QX_API int qx_product_get(const qx_product* product, int field, char** value, size_t* length);
/* A custom property; one whose key is a fixed field's key (product_id, ...)
 * replaces that field's value in a hit. */
QX_API int qx_product_set_property(qx_product* product, const char* key, const char* value);
/* qx_product_set_property with a key and a value of the given lengths. */
QX_API int qx_product_set_property_n(qx_product* product, const char* key, size_t key_length,
                                     const char* value, size_t value_length);
/* 1 when the property was there, 0 when not. */
QX_API int qx_product_remove_property(qx_product* product, const char* key);

/* ------------------------------------------------------------------------
 * Application variables of a hit, and their archive
 * ------------------------------------------------------------------------ */

/* A hit's application variables (opaque; see Handles at the top). */
typedef struct qx_app_vars qx_app_vars;

/* Threads: any thread, on the same object too; each call is atomic. A hit
 * executed with the object takes its variables as they are at that moment
 * and leaves them there, for the next hit too. */

/* Any value under this key in a hit's application variables makes it a
 * consent hit, which a deactivated tracker still sends (the C++ API's
 * kQXConsentHitKey). */
#define QX_CONSENT_HIT_KEY "#CONSENT_HIT#"

/* NULL when memory ran out. */
QX_API qx_app_vars* qx_app_vars_new(void);
/* Frees an object made by qx_app_vars_new or qx_app_vars_decode (NULL is a
 * no-op). */
QX_API void qx_app_vars_free(qx_app_vars* app_vars);
/* Sets key to value, replacing what was there. */
QX_API int qx_app_vars_add(qx_app_vars* app_vars, const char* key, const char* value);
/* qx_app_vars_add with a key and a value of the given lengths. */
QX_API int qx_app_vars_add_n(qx_app_vars* app_vars, const char* key, size_t key_length,
                             const char* value, size_t value_length);
/* 1 with *value (free with qx_free) and *length (may be NULL); 0 when absent. */
QX_API int qx_app_vars_get(const qx_app_vars* app_vars, const char* key, char** value,
                           size_t* length);
/* 1 when the key was there, 0 when not. */
QX_API int qx_app_vars_remove(qx_app_vars* app_vars, const char* key);
/* Removes every variable. */
QX_API int qx_app_vars_clear(qx_app_vars* app_vars);
/* Flattens each product as prefix[field][i], i its position from 0. */
QX_API int qx_app_vars_add_products(qx_app_vars* app_vars, const char* prefix,
                                    const qx_product* const* products, size_t count);
/* The archive's bytes (format in the README): *bytes (free with qx_free) and
 * *length. */
QX_API int qx_app_vars_encode(const qx_app_vars* app_vars, char** bytes, size_t* length);
/* A new object from an archive (*app_vars, free with qx_app_vars_free):
 * QX_E_NOT_SUPPORTED for a later format this library cannot read,
 * QX_E_CORRUPT for anything damaged; *app_vars is then NULL. */
QX_API int qx_app_vars_decode(const void* bytes, size_t length, qx_app_vars** app_vars);

/* ------------------------------------------------------------------------
 * Trackers
 * ------------------------------------------------------------------------ */

/* A tracker (opaque; see Handles at the top). */
typedef struct qx_tracker qx_tracker;

/* Threads: any thread, on the same tracker too; each call is atomic. A
 * tracker is meant to be driven from one thread at a time (the variables of
 * "the next hit" are those added before it), but nothing breaks otherwise.
 * A hit runs on the calling thread up to its journal write, a few
 * microseconds; it never waits for the network. */

/* A tracker of one site and container; NULL when it could not be created
 * (qx_last_error says why). Its hits go to the collection URL until
 * qx_tracker_set_url. */
QX_API qx_tracker* qx_tracker_new(int32_t site_id, int32_t container_id);
/* Its hits already executed are the core's and still go out. */
QX_API void qx_tracker_free(qx_tracker* tracker);

/* Where the tracker's hits go: an http or https URL with a host, else
 * QX_E_BAD_URL. By default the production collector of the tracker's site,
 * where every hit counts as real traffic: while developing, point it at a
 * development collector such as `quorvex collect`. */
QX_API int qx_tracker_set_url(qx_tracker* tracker, const char* url);
/* *url: free with qx_free. */
QX_API int qx_tracker_get_url(const qx_tracker* tracker, char** url);
/* The IDs; changing them later does not change the URL. */
QX_API int qx_tracker_get_site_id(const qx_tracker* tracker, int32_t* site_id);
/* Changes the site ID; the URL stays. */
QX_API int qx_tracker_set_site_id(qx_tracker* tracker, int32_t site_id);
/* *container_id: the container ID. */
QX_API int qx_tracker_get_container_id(const qx_tracker* tracker, int32_t* container_id);
/* Changes the container ID; the URL stays. */
QX_API int qx_tracker_set_container_id(qx_tracker* tracker, int32_t container_id);

/* Variables of the next hit; the hit takes them away. Ignored (and 0) while
 * the tracker is deactivated. */
QX_API int qx_tracker_add_data(qx_tracker* tracker, const char* key, const char* value);
/* qx_tracker_add_data with a key and a value of the given lengths. */
QX_API int qx_tracker_add_data_n(qx_tracker* tracker, const char* key, size_t key_length,
                                 const char* value, size_t value_length);
/* 1 with *value (free with qx_free) and *length (may be NULL); 0 when absent. */
QX_API int qx_tracker_get_data(const qx_tracker* tracker, const char* key, char** value,
                               size_t* length);
/* 1 when the key was there, 0 when not. */
QX_API int qx_tracker_remove_data(qx_tracker* tracker, const char* key);
/* Empties the next hit's variables and restarts the product count. */
QX_API int qx_tracker_clear_data(qx_tracker* tracker);
/* Flattens the product as name[field][index], index counting the products
 * added since the last hit; ignored while deactivated. */
QX_API int qx_tracker_add_product(qx_tracker* tracker, const char* name, const qx_product* product);

/* Permanent variables, sent with every hit of this tracker. */
QX_API int qx_tracker_add_permanent_data(qx_tracker* tracker, const char* key, const char* value);
/* qx_tracker_add_permanent_data with a key and a value of the given lengths. */
QX_API int qx_tracker_add_permanent_data_n(qx_tracker* tracker, const char* key, size_t key_length,
                                           const char* value, size_t value_length);
/* 1 with *value (free with qx_free) and *length (may be NULL); 0 when absent. */
QX_API int qx_tracker_get_permanent_data(const qx_tracker* tracker, const char* key, char** value,
                                         size_t* length);
/* 1 when the key was there, 0 when not. */
QX_API int qx_tracker_remove_permanent_data(qx_tracker* tracker, const char* key);

/* One hit, without application variables. Returns once the hit is in the
 * outbox's journal (it survives a kill of the process from then on); its
 * delivery is told to the outcome callback. A deactivated tracker drops it
 * (and returns 0); so does a hit that cannot be built whole, counted as
 * dropped. */
QX_API int qx_tracker_send(qx_tracker* tracker);
/* One hit with application variables (NULL: none), merged last. */
QX_API int qx_tracker_execute(qx_tracker* tracker, const qx_app_vars* app_vars);
/* The POST body that such a hit would carry now, without sending it:
 * *body (free with qx_free) and *length (may be NULL). */
QX_API int qx_tracker_post_data(qx_tracker* tracker, const qx_app_vars* app_vars, char** body,
                                size_t* length);

/* Activates the tracker again after qx_tracker_deactivate. */
QX_API int qx_tracker_activate(qx_tracker* tracker);
/* While deactivated, the variables and products added are dropped and only
 * consent hits (QX_CONSENT_HIT_KEY) go out; the variables added before, and
 * the permanent ones, stay for the next hit that goes out. */
QX_API int qx_tracker_deactivate(qx_tracker* tracker);
/* 1 when deactivated, 0 when not. */
QX_API int qx_tracker_is_deactivated(const qx_tracker* tracker);
/* Hits also go out while the application is in background, for every
 * tracker of the process and for good. */
QX_API int qx_tracker_enable_running_in_background(qx_tracker* tracker);

/* ------------------------------------------------------------------------
 * Delivery
 * ------------------------------------------------------------------------ */

/* Threads: any thread. qx_flush blocks its caller up to its timeout; the
 * others return at once. */

/* How hits are delivered; the README's Delivery section tells what each
 * bound does. Read them with qx_delivery_get_options, change some, write
 * them back. */
typedef struct qx_delivery_options {
  size_t size;                      /* sizeof(qx_delivery_options) */
  int64_t connect_timeout_ms;       /* libcurl's connect timeout */
  int64_t request_timeout_ms;       /* the limit on a whole request */
  uint64_t max_queued_hits;         /* past it the oldest hits are dropped */
  uint64_t max_queued_bytes;        /* the files on disk; 0: no bound */
  int64_t max_hit_age_s;            /* older hits are dropped */
  int32_t max_connections;          /* 1 to 64, while a backlog drains */
  uint64_t parallel_backlog;        /* one connection up to this many waiting */
  int64_t initial_retry_delay_ms;   /* the first backoff, doubling from there */
  int64_t max_retry_delay_ms;       /* the longest backoff */
  int64_t max_retry_after_ms;       /* the longest Retry-After honoured */
  int64_t reachability_interval_ms; /* how old "is a network there?" may be */
  int64_t exit_timeout_ms;          /* how long process exit waits for delivery */
  uint64_t max_hit_bytes;           /* the largest hit, URL and body; a larger one is refused */
} qx_delivery_options;

/* Fills options up to options->size (fields this library lacks become 0). */
QX_API int qx_delivery_get_options(qx_delivery_options* options);
/* Applies options; durations are at least 0 (connect and request timeouts
 * and the reachability interval at least 1). Fields this library lacks must
 * be 0, else QX_E_NOT_SUPPORTED. */
QX_API int qx_delivery_set_options(const qx_delivery_options* options);

/* What has happened since the process started. */
typedef struct qx_delivery_counters {
  size_t size;      /* sizeof(qx_delivery_counters) */
  uint64_t queued;  /* hits stored in the outbox */
  uint64_t sent;    /* hits the server took (2xx) */
  uint64_t retried; /* failed attempts that will be retried */
  uint64_t dropped; /* hits given up */
  uint64_t pending; /* hits in the outbox now */
} qx_delivery_counters;

/* Fills counters up to counters->size. */
QX_API int qx_delivery_get_counters(qx_delivery_counters* counters);

/* Why nothing goes out at the moment. */
enum { QX_PAUSE_NONE = 0, QX_PAUSE_OFFLINE = 1, QX_PAUSE_BACKGROUND = 2 };
/* One of QX_PAUSE_, or a QX_E_ code. */
QX_API int qx_delivery_pause(void);

/* Waits until every hit is delivered or given up, at most timeout_ms (at
 * least 0): 1 when the outbox is empty (the outcome callback has then heard
 * of each), 0 when not. Also starts the delivery of hits an earlier launch
 * left. From inside the outcome callback it returns 0 at once (delivery
 * waits for the callback). */
QX_API int qx_flush(int64_t timeout_ms);

enum { QX_OUTCOME_DELIVERED = 0, QX_OUTCOME_RETRYING = 1, QX_OUTCOME_DROPPED = 2 };

/* What became of one attempt of a hit. The strings live until the callback
 * returns. */
typedef struct qx_hit_outcome {
  size_t size;                /* of this structure, as the library knows it */
  int result;                 /* QX_OUTCOME_ */
  int http_status;            /* 0 when there was no answer */
  int attempt;                /* 1 for the first attempt in this process; 0 when never sent */
  int64_t retry_delay_ms;     /* QX_OUTCOME_RETRYING: until the next attempt */
  const char* hit_identifier; /* as sent in the X-Quorvex-Hit-Id header */
  const char* url;            /* the collector's URL */
  const char* reason;         /* why it was dropped, or "" */
} qx_hit_outcome;

/* Called on the delivery thread (qx-delivery) after each attempt, and on the
 * thread that executed a hit that could not be stored. Delivery waits for it:
 * keep it short, and never free user_data while it is installed. */
typedef void (*qx_outcome_callback)(const qx_hit_outcome* outcome, void* user_data);

/* Installs callback (NULL removes it). When this returns, the previous
 * callback is not running on another thread and will not be called again, so
 * its user_data may be freed. Called from the callback itself, it does not
 * wait for that call. */
QX_API int qx_set_outcome_callback(qx_outcome_callback callback, void* user_data);

/* ------------------------------------------------------------------------
 * The log
 * ------------------------------------------------------------------------ */

/* Threads: any thread. */

/* Levels: 0 the data of each hit, 1 activation and background sending, 2
 * creation, 3 warnings and dropped hits, 4 errors. Messages at or above the
 * threshold (3 by default) are written. */
QX_API int qx_log_set_threshold(int level);
/* The threshold in force. */
QX_API int qx_log_threshold(void);

/* Called on whatever thread logs (the caller's, qx-delivery),
 * possibly on several at once. message is escaped text, NUL-terminated,
 * length bytes long, valid until the sink returns. The sink must not call
 * the SDK, except qx_log_set_sink from the sink itself. */
typedef void (*qx_log_sink)(int level, const char* message, size_t length, void* user_data);

/* Sends the log to sink (NULL: back to standard error). When this returns,
 * the previous sink is not running on another thread and will not be called
 * again, so its user_data may be freed. */
QX_API int qx_log_set_sink(qx_log_sink sink, void* user_data);

#ifdef __cplusplus
}
#endif

#endif /* QUORVEX_QUORVEX_H_ */
