/* Delivery options, the archive of application variables and the log sink,
 * through the C API; nothing here needs a collector. */
#define _POSIX_C_SOURCE 200809L

#include <pthread.h>
#include <stdlib.h>
#include <string.h>
#include <zlib.h>

#include "quorvex.h"
#include "tests/test_cases.h"

/* A caller compiled against a later header: one field more. */
typedef struct later_options {
  qx_delivery_options known;
  int64_t later_field;
} later_options;

void qxt_test_options(void) {
  qx_delivery_options options, bad;
  later_options later;
  qx_delivery_counters counters;

  qxt_install_platform();
  memset(&options, 0, sizeof options);
  options.size = sizeof options;
  QXT_EXPECT_OK(qx_delivery_get_options(&options));
  QXT_EXPECT_INT(options.max_connections, 4);
  QXT_EXPECT_INT(options.max_queued_hits, 10000);
  QXT_EXPECT_INT(options.request_timeout_ms, 30000);
  options.max_connections = 2;
  options.max_queued_hits = 500;
  QXT_EXPECT_OK(qx_delivery_set_options(&options));
  memset(&options, 0, sizeof options);
  options.size = sizeof options;
  QXT_EXPECT_OK(qx_delivery_get_options(&options));
  QXT_EXPECT_INT(options.max_connections, 2);
  QXT_EXPECT_INT(options.max_queued_hits, 500);

  /* Out of range, and sizes that no version has. */
  bad = options;
  bad.max_connections = 0;
  QXT_EXPECT_INT(qx_delivery_set_options(&bad), QX_E_INVALID_ARGUMENT);
  QXT_EXPECT(strstr(qx_last_error(), "max_connections") != NULL);
  bad = options;
  bad.initial_retry_delay_ms = -1;
  QXT_EXPECT_INT(qx_delivery_set_options(&bad), QX_E_INVALID_ARGUMENT);
  bad = options;
  bad.size = sizeof(size_t);
  QXT_EXPECT_INT(qx_delivery_set_options(&bad), QX_E_INVALID_ARGUMENT);
  QXT_EXPECT_INT(qx_delivery_get_options(&bad), QX_E_INVALID_ARGUMENT);

  /* A later caller's extra field: 0 is taken, anything else is refused. */
  memset(&later, 0xAB, sizeof later);
  later.known.size = sizeof later;
  QXT_EXPECT_OK(qx_delivery_get_options(&later.known));
  QXT_EXPECT_INT(later.known.size, sizeof later);
  QXT_EXPECT_INT(later.later_field, 0);
  QXT_EXPECT_INT(later.known.max_connections, 2);
  QXT_EXPECT_OK(qx_delivery_set_options(&later.known));
  later.later_field = 1;
  QXT_EXPECT_INT(qx_delivery_set_options(&later.known), QX_E_NOT_SUPPORTED);

  memset(&counters, 0, sizeof counters);
  counters.size = sizeof counters;
  QXT_EXPECT_OK(qx_delivery_get_counters(&counters));
  QXT_EXPECT_INT(counters.queued, 0);
  QXT_EXPECT_INT(qx_flush(-1), QX_E_INVALID_ARGUMENT);
  QXT_EXPECT_INT(qx_flush(1000), 1);
}

/* Writes `value` little-endian into two bytes at `at`. */
static void put16(unsigned char* at, unsigned value) {
  at[0] = (unsigned char)(value & 0xFF);
  at[1] = (unsigned char)(value >> 8);
}

/* The archive's checksum again after a change: CRC-32 of every byte but
 * its own four, at offset 8. */
static void reseal(unsigned char* archive, size_t length) {
  uLong crc = crc32(0L, archive, 8);
  crc = crc32(crc, archive + 12, (uInt)(length - 12));
  archive[8] = (unsigned char)(crc & 0xFF);
  archive[9] = (unsigned char)((crc >> 8) & 0xFF);
  archive[10] = (unsigned char)((crc >> 16) & 0xFF);
  archive[11] = (unsigned char)((crc >> 24) & 0xFF);
}

void qxt_test_archive(void) {
  static const char kNul[] = {'x', '\0', 'y'};
  qx_app_vars* original = qx_app_vars_new();
  qx_app_vars* restored = NULL;
  char* archive = NULL;
  unsigned char* changed;
  char* value = NULL;
  size_t length = 0, value_length = 0;

  QXT_EXPECT_OK(qx_app_vars_add(original, "screen", "checkout"));
  QXT_EXPECT_OK(qx_app_vars_add_n(original, "nul", 3, kNul, sizeof kNul));
  QXT_EXPECT_OK(qx_app_vars_add(original, "removed", "1"));
  QXT_EXPECT_INT(qx_app_vars_remove(original, "removed"), 1);
  QXT_EXPECT_OK(qx_app_vars_encode(original, &archive, &length));
  QXT_EXPECT(length > 16 && memcmp(archive, "QXAV", 4) == 0);

  QXT_EXPECT_OK(qx_app_vars_decode(archive, length, &restored));
  QXT_EXPECT_STR(qxt_take_text(qx_app_vars_get(restored, "screen", &value, NULL), &value),
                 "checkout");
  qx_free(value);
  QXT_EXPECT_INT(qx_app_vars_get(restored, "nul", &value, &value_length), 1);
  QXT_EXPECT(value_length == 3 && memcmp(value, kNul, 3) == 0);
  qx_free(value);
  QXT_EXPECT_INT(qx_app_vars_get(restored, "removed", &value, NULL), 0);
  QXT_EXPECT_OK(qx_app_vars_clear(restored));
  QXT_EXPECT_INT(qx_app_vars_get(restored, "screen", &value, NULL), 0);
  qx_app_vars_free(restored);

  /* Damaged, cut short, or of a later format that this one cannot read. */
  changed = malloc(length);
  memcpy(changed, archive, length);
  changed[length - 1] ^= 0x01;
  QXT_EXPECT_INT(qx_app_vars_decode(changed, length, &restored), QX_E_CORRUPT);
  QXT_EXPECT(restored == NULL);
  QXT_EXPECT_INT(qx_app_vars_decode(archive, length - 1, &restored), QX_E_CORRUPT);
  QXT_EXPECT_INT(qx_app_vars_decode("", 0, &restored), QX_E_CORRUPT);
  memcpy(changed, archive, length);
  put16(changed + 4, 2);
  put16(changed + 6, 2);
  reseal(changed, length);
  QXT_EXPECT_INT(qx_app_vars_decode(changed, length, &restored), QX_E_NOT_SUPPORTED);
  QXT_EXPECT(strstr(qx_last_error(), "qx_app_vars_decode") != NULL);
  free(changed);
  qx_free(archive);
  qx_app_vars_free(original);
}

/* What the log sink received. */
typedef struct heard_log {
  pthread_mutex_t mutex;
  int messages;
  int creation_messages;
} heard_log;

static void hear_log(int level, const char* message, size_t length, void* user_data) {
  heard_log* heard = user_data;
  pthread_mutex_lock(&heard->mutex);
  ++heard->messages;
  if (level == 2 && strlen(message) == length && strstr(message, "Quorvex Init") != NULL)
    ++heard->creation_messages;
  pthread_mutex_unlock(&heard->mutex);
}

void qxt_test_log(void) {
  heard_log* heard = calloc(1, sizeof *heard);
  qx_tracker* tracker;
  int before;

  pthread_mutex_init(&heard->mutex, NULL);
  qxt_install_platform();
  QXT_EXPECT_INT(qx_log_threshold(), 3);
  QXT_EXPECT_OK(qx_log_set_threshold(0));
  QXT_EXPECT_INT(qx_log_threshold(), 0);
  QXT_EXPECT_INT(qx_log_set_threshold(6), QX_E_INVALID_ARGUMENT);
  QXT_EXPECT_INT(qx_log_set_threshold(-1), QX_E_INVALID_ARGUMENT);
  QXT_EXPECT_OK(qx_log_set_sink(hear_log, heard));
  tracker = qx_tracker_new(1, 2);
  QXT_EXPECT_INT(heard->creation_messages, 1);
  qx_tracker_free(tracker);

  /* Removed, the sink hears nothing more and its data may go. */
  QXT_EXPECT_OK(qx_log_set_sink(NULL, NULL));
  before = heard->messages;
  tracker = qx_tracker_new(3, 4);
  QXT_EXPECT_INT(heard->messages, before);
  qx_tracker_free(tracker);
  pthread_mutex_destroy(&heard->mutex);
  free(heard);
}
