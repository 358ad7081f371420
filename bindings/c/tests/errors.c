/* Bad input through the C API: each call answers a code and a message, and
 * changes nothing. */
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "quorvex.h"
#include "tests/test_cases.h"

/* The call failed with `code` and said so, naming its function. */
#define QXT_EXPECT_FAILURE(call, code, function)                                   \
  do {                                                                             \
    QXT_EXPECT_INT(call, code);                                                    \
    QXT_EXPECT(strncmp(qx_last_error(), function ": ", sizeof function + 1) == 0); \
  } while (0)

void qxt_test_null_arguments(void) {
  qx_tracker* tracker;
  qx_product* product = qx_product_new();
  qx_app_vars* app_vars = qx_app_vars_new();
  qx_app_vars* decoded = NULL;
  char* text = NULL;
  int32_t id;

  qxt_install_platform();
  tracker = qx_tracker_new(1, 2);
  QXT_EXPECT_FAILURE(qx_tracker_send(NULL), QX_E_INVALID_ARGUMENT, "qx_tracker_send");
  QXT_EXPECT(strstr(qx_last_error(), "tracker is NULL") != NULL);
  QXT_EXPECT_FAILURE(qx_tracker_add_data(tracker, NULL, "v"), QX_E_INVALID_ARGUMENT,
                     "qx_tracker_add_data");
  QXT_EXPECT_FAILURE(qx_tracker_add_data(tracker, "k", NULL), QX_E_INVALID_ARGUMENT,
                     "qx_tracker_add_data");
  QXT_EXPECT_FAILURE(qx_tracker_add_data_n(tracker, "k", 1, NULL, 2), QX_E_INVALID_ARGUMENT,
                     "qx_tracker_add_data_n");
  QXT_EXPECT_FAILURE(qx_tracker_get_data(tracker, "k", NULL, NULL), QX_E_INVALID_ARGUMENT,
                     "qx_tracker_get_data");
  QXT_EXPECT_FAILURE(qx_tracker_get_url(tracker, NULL), QX_E_INVALID_ARGUMENT,
                     "qx_tracker_get_url");
  QXT_EXPECT_FAILURE(qx_tracker_get_site_id(tracker, NULL), QX_E_INVALID_ARGUMENT,
                     "qx_tracker_get_site_id");
  QXT_EXPECT_FAILURE(qx_tracker_set_url(tracker, NULL), QX_E_INVALID_ARGUMENT,
                     "qx_tracker_set_url");
  QXT_EXPECT_FAILURE(qx_tracker_add_product(tracker, "basket", NULL), QX_E_INVALID_ARGUMENT,
                     "qx_tracker_add_product");
  QXT_EXPECT_FAILURE(qx_tracker_add_product(tracker, "", product), QX_E_INVALID_ARGUMENT,
                     "qx_tracker_add_product");
  QXT_EXPECT_FAILURE(qx_product_set(product, QX_PRODUCT_IN_STOCK + 1, "x"), QX_E_INVALID_ARGUMENT,
                     "qx_product_set");
  QXT_EXPECT_FAILURE(qx_product_get(product, -1, &text, NULL), QX_E_INVALID_ARGUMENT,
                     "qx_product_get");
  QXT_EXPECT_FAILURE(qx_app_vars_add_products(app_vars, "cart", NULL, 1), QX_E_INVALID_ARGUMENT,
                     "qx_app_vars_add_products");
  QXT_EXPECT_FAILURE(qx_app_vars_decode(NULL, 4, &decoded), QX_E_INVALID_ARGUMENT,
                     "qx_app_vars_decode");
  QXT_EXPECT_FAILURE(qx_app_vars_encode(app_vars, NULL, NULL), QX_E_INVALID_ARGUMENT,
                     "qx_app_vars_encode");
  QXT_EXPECT_FAILURE(qx_delivery_get_counters(NULL), QX_E_INVALID_ARGUMENT,
                     "qx_delivery_get_counters");
  QXT_EXPECT_FAILURE(qx_platform_install_linux_options(NULL), QX_E_INVALID_ARGUMENT,
                     "qx_platform_install_linux_options");
  /* After a failure, the next call that succeeds clears the message. */
  QXT_EXPECT_OK(qx_tracker_get_site_id(tracker, &id));
  QXT_EXPECT_STR(qx_last_error(), "");
  QXT_EXPECT_INT(qx_last_error_code(), QX_OK);
  /* NULL handles are no-ops for the frees. */
  qx_tracker_free(NULL);
  qx_product_free(NULL);
  qx_app_vars_free(NULL);
  QXT_EXPECT_STR(qx_last_error(), "");
  QXT_EXPECT_STR(qx_strerror(QX_E_BAD_URL), "QX_E_BAD_URL");
  QXT_EXPECT_STR(qx_strerror(-99), "an unknown error code");
  QXT_EXPECT(strncmp(qx_version(), "4.", 2) == 0);
  qx_product_free(product);
  qx_app_vars_free(app_vars);
  qx_tracker_free(tracker);
}

void qxt_test_closed_handles(void) {
  qx_tracker* tracker;
  qx_tracker* closed;
  qx_product* product = qx_product_new();
  qx_app_vars* app_vars = qx_app_vars_new();
  int not_a_handle = 0;

  qxt_install_platform();
  closed = qx_tracker_new(1, 2);
  qx_tracker_free(closed);
  /* A tracker made after the free may get the freed one's memory; the old
   * handle still finds nothing. */
  tracker = qx_tracker_new(1, 2);
  QXT_EXPECT(tracker != closed);
  QXT_EXPECT_FAILURE(qx_tracker_send(closed), QX_E_INVALID_HANDLE, "qx_tracker_send");
  QXT_EXPECT_FAILURE(qx_tracker_add_data(closed, "k", "v"), QX_E_INVALID_HANDLE,
                     "qx_tracker_add_data");
  qx_tracker_free(closed);
  QXT_EXPECT_INT(qx_last_error_code(), QX_E_INVALID_HANDLE);
  QXT_EXPECT_INT(strncmp(qx_last_error(), "qx_tracker_free: ", 17), 0);
  /* Another kind's handle, and what is no handle at all. */
  QXT_EXPECT_FAILURE(qx_tracker_send((qx_tracker*)product), QX_E_INVALID_HANDLE, "qx_tracker_send");
  QXT_EXPECT_FAILURE(qx_tracker_execute(tracker, (const qx_app_vars*)product), QX_E_INVALID_HANDLE,
                     "qx_tracker_execute");
  QXT_EXPECT_FAILURE(qx_app_vars_add((qx_app_vars*)&not_a_handle, "k", "v"), QX_E_INVALID_HANDLE,
                     "qx_app_vars_add");
  QXT_EXPECT_FAILURE(qx_product_set((qx_product*)(uintptr_t)0x1234, QX_PRODUCT_ID, "x"),
                     QX_E_INVALID_HANDLE, "qx_product_set");
  qx_product_free(product);
  QXT_EXPECT_FAILURE(qx_tracker_add_product(tracker, "basket", product), QX_E_INVALID_HANDLE,
                     "qx_tracker_add_product");
  qx_app_vars_free(app_vars);
  QXT_EXPECT_FAILURE(qx_tracker_execute(tracker, app_vars), QX_E_INVALID_HANDLE,
                     "qx_tracker_execute");
  /* The platform goes in before the first tracker. */
  QXT_EXPECT_FAILURE(qx_platform_install_linux(NULL, NULL), QX_E_STATE,
                     "qx_platform_install_linux");
  QXT_EXPECT_OK(qx_tracker_send(tracker));
  qx_tracker_free(tracker);
}

/* Ill-formed UTF-8, refused in keys and values alike. */
static const char* const kNotUTF8[] = {
    "\xC0\xAF",         /* an overlong "/" */
    "\xE0\x80\xAF",     /* the same in three bytes */
    "\xED\xA0\x80",     /* a surrogate */
    "\xF4\x90\x80\x80", /* past U+10FFFF */
    "ok\xE2\x82",       /* cut short */
    "\x80",             /* a lone continuation byte */
    "caf\xE9",          /* Latin-1 */
    "\xFF",
};

void qxt_test_encoding(void) {
  static const char* const kUTF8[] = {"caf\xC3\xA9", "\xE2\x82\xAC", "\xF0\x9F\x98\x80", ""};
  qx_tracker* tracker;
  qx_product* product = qx_product_new();
  qx_app_vars* app_vars = qx_app_vars_new();
  char* text = NULL;
  size_t i;

  qxt_install_platform();
  tracker = qx_tracker_new(1, 2);
  for (i = 0; i < sizeof kNotUTF8 / sizeof kNotUTF8[0]; ++i) {
    const char* bad = kNotUTF8[i];
    QXT_EXPECT_FAILURE(qx_tracker_add_data(tracker, "k", bad), QX_E_ENCODING,
                       "qx_tracker_add_data");
    QXT_EXPECT(strstr(qx_last_error(), "value is not UTF-8") != NULL);
    QXT_EXPECT_FAILURE(qx_tracker_add_data(tracker, bad, "v"), QX_E_ENCODING,
                       "qx_tracker_add_data");
    QXT_EXPECT_FAILURE(qx_tracker_add_data_n(tracker, "k", 1, bad, strlen(bad)), QX_E_ENCODING,
                       "qx_tracker_add_data_n");
    QXT_EXPECT_FAILURE(qx_tracker_add_permanent_data(tracker, "k", bad), QX_E_ENCODING,
                       "qx_tracker_add_permanent_data");
    QXT_EXPECT_FAILURE(qx_app_vars_add(app_vars, "k", bad), QX_E_ENCODING, "qx_app_vars_add");
    QXT_EXPECT_FAILURE(qx_product_set(product, QX_PRODUCT_NAME, bad), QX_E_ENCODING,
                       "qx_product_set");
    QXT_EXPECT_FAILURE(qx_platform_install_linux(bad, NULL), QX_E_ENCODING,
                       "qx_platform_install_linux");
  }
  /* Nothing of it was kept. */
  QXT_EXPECT_INT(qx_tracker_get_data(tracker, "k", &text, NULL), 0);
  QXT_EXPECT_INT(qx_product_get(product, QX_PRODUCT_NAME, &text, NULL), 0);
  for (i = 0; i < sizeof kUTF8 / sizeof kUTF8[0]; ++i) {
    QXT_EXPECT_OK(qx_tracker_add_data(tracker, kUTF8[i][0] ? kUTF8[i] : "empty", kUTF8[i]));
    QXT_EXPECT_STR(
        qxt_take_text(qx_tracker_get_data(tracker, kUTF8[i][0] ? kUTF8[i] : "empty", &text, NULL),
                      &text),
        kUTF8[i]);
    qx_free(text);
  }
  qx_product_free(product);
  qx_app_vars_free(app_vars);
  qx_tracker_free(tracker);
}

void qxt_test_urls(void) {
  static const struct {
    const char* url;
    int code;
  } kURLs[] = {
      {"http://127.0.0.1:9/7/", QX_OK},
      {"https://collect.example.com/7/?a=b", QX_OK},
      {"HTTPS://[::1]:8443/", QX_OK},
      {"ftp://example.com/", QX_E_BAD_URL},
      {"file:///etc/passwd", QX_E_BAD_URL},
      {"mailto:someone@example.com", QX_E_BAD_URL},
      {"not a url", QX_E_BAD_URL},
      {"http://", QX_E_BAD_URL},
      {"", QX_E_BAD_URL},
      {"http://exa mple.com/", QX_E_BAD_URL},
      {"http://example.com/\xFF", QX_E_ENCODING},
  };
  qx_tracker* tracker;
  char* url = NULL;
  size_t i;

  qxt_install_platform();
  tracker = qx_tracker_new(1, 2);
  for (i = 0; i < sizeof kURLs / sizeof kURLs[0]; ++i) {
    QXT_EXPECT_INT(qx_tracker_set_url(tracker, kURLs[i].url), kURLs[i].code);
    if (kURLs[i].code != QX_OK) fprintf(stderr, "  %s: %s\n", kURLs[i].url, qx_last_error());
  }
  /* A refused URL leaves the last good one. */
  QXT_EXPECT_OK(qx_tracker_get_url(tracker, &url));
  QXT_EXPECT_STR(url, "HTTPS://[::1]:8443/");
  qx_free(url);
  qx_tracker_free(tracker);
}

void qxt_test_sizes(void) {
  const size_t huge = QX_MAX_TEXT_LENGTH + 1;
  char* long_text = malloc(huge + 1);
  qx_tracker* tracker;
  qx_app_vars* app_vars = qx_app_vars_new();
  char* text = NULL;
  size_t length = 0;

  qxt_install_platform();
  tracker = qx_tracker_new(1, 2);
  memset(long_text, 'a', huge);
  long_text[huge] = '\0';
  QXT_EXPECT_FAILURE(qx_tracker_add_data(tracker, "k", long_text), QX_E_TOO_LARGE,
                     "qx_tracker_add_data");
  QXT_EXPECT_FAILURE(qx_tracker_add_data_n(tracker, "k", 1, long_text, huge), QX_E_TOO_LARGE,
                     "qx_tracker_add_data_n");
  QXT_EXPECT_FAILURE(qx_tracker_add_data_n(tracker, "k", SIZE_MAX, "v", 1), QX_E_TOO_LARGE,
                     "qx_tracker_add_data_n");
  QXT_EXPECT_FAILURE(qx_app_vars_add_n(app_vars, "k", 1, "v", SIZE_MAX), QX_E_TOO_LARGE,
                     "qx_app_vars_add_n");
  /* The longest text taken is kept whole. */
  QXT_EXPECT_OK(qx_tracker_add_data_n(tracker, "k", 1, long_text, huge - 1));
  QXT_EXPECT_INT(qx_tracker_get_data(tracker, "k", &text, &length), 1);
  QXT_EXPECT_INT(length, QX_MAX_TEXT_LENGTH);
  qx_free(text);
  free(long_text);
  qx_app_vars_free(app_vars);
  qx_tracker_free(tracker);
}
