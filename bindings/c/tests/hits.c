/* Hits made through the C API, as `quorvex collect` received them. */
#define _POSIX_C_SOURCE 200809L

#include <pthread.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include "quorvex.h"
#include "tests/collector.h"
#include "tests/test_cases.h"

/* A tracker whose hits go to the collector. */
static qx_tracker* tracker_to(const qxt_collector* collector) {
  qx_tracker* tracker = qx_tracker_new(410501, 7);
  QXT_EXPECT(tracker != NULL);
  QXT_EXPECT_OK(qx_tracker_set_url(tracker, collector->url));
  return tracker;
}

/* Polls the delivery's pause, which its thread updates, until it is
 * `expected`; 10 s at most. */
static int pause_becomes(int expected) {
  const struct timespec millisecond = {0, 1000000};
  int i, pause = qx_delivery_pause();
  for (i = 0; i < 10000 && pause != expected; ++i) {
    nanosleep(&millisecond, NULL);
    pause = qx_delivery_pause();
  }
  return pause;
}

static void counters_now(qx_delivery_counters* counters) {
  memset(counters, 0, sizeof *counters);
  counters->size = sizeof *counters;
  QXT_EXPECT_OK(qx_delivery_get_counters(counters));
}

void qxt_test_variables(void) {
  static const char kNul[] = {'a', '\0', 'b'};
  qxt_collector collector;
  qx_tracker* tracker;
  qx_app_vars* app_vars = qx_app_vars_new();
  char* text = NULL;
  size_t length = 0;
  int32_t id = 0;

  qxt_install_platform();
  QXT_EXPECT_OK(qxt_collector_start(&collector, 2, 200));
  tracker = tracker_to(&collector);
  QXT_EXPECT_OK(qx_tracker_add_data(tracker, "page", "home"));
  QXT_EXPECT_OK(qx_tracker_add_data(tracker, "gone", "soon"));
  QXT_EXPECT_INT(qx_tracker_remove_data(tracker, "gone"), 1);
  QXT_EXPECT_INT(qx_tracker_remove_data(tracker, "gone"), 0);
  QXT_EXPECT_OK(qx_tracker_add_data_n(tracker, "nul", 3, kNul, sizeof kNul));
  QXT_EXPECT_INT(qx_tracker_get_data(tracker, "nul", &text, &length), 1);
  QXT_EXPECT(length == 3 && memcmp(text, kNul, 3) == 0);
  qx_free(text);
  QXT_EXPECT_INT(qx_tracker_get_data(tracker, "absent", &text, &length), 0);
  QXT_EXPECT(text == NULL);
  QXT_EXPECT_OK(qx_tracker_add_permanent_data(tracker, "user_id", "42"));
  QXT_EXPECT_STR(
      qxt_take_text(qx_tracker_get_permanent_data(tracker, "user_id", &text, NULL), &text), "42");
  qx_free(text);
  QXT_EXPECT_OK(qx_app_vars_add(app_vars, "event", "purchase"));
  QXT_EXPECT_OK(qx_tracker_get_url(tracker, &text));
  QXT_EXPECT_STR(text, collector.url);
  qx_free(text);
  QXT_EXPECT_OK(qx_tracker_get_site_id(tracker, &id));
  QXT_EXPECT_INT(id, 410501);
  QXT_EXPECT_OK(qx_tracker_set_container_id(tracker, 8));
  QXT_EXPECT_OK(qx_tracker_get_container_id(tracker, &id));
  QXT_EXPECT_INT(id, 8);
  QXT_EXPECT_OK(qx_tracker_post_data(tracker, app_vars, &text, &length));
  QXT_EXPECT(strstr(text, "page=home") != NULL && strstr(text, "event=purchase") != NULL);
  qx_free(text);

  QXT_EXPECT_OK(qx_tracker_execute(tracker, app_vars));
  QXT_EXPECT_OK(qx_tracker_send(tracker));
  QXT_EXPECT_INT(qx_flush(10000), 1);
  QXT_EXPECT_OK(qxt_collector_finish(&collector));
  QXT_EXPECT_INT(collector.hit_count, 2);
  QXT_EXPECT_STR(qxt_field(&collector, 0, "page"), "home");
  QXT_EXPECT_STR(qxt_field(&collector, 0, "nul"), "a\\x00b");
  QXT_EXPECT(qxt_field(&collector, 0, "gone") == NULL);
  QXT_EXPECT_STR(qxt_field(&collector, 0, "user_id"), "42");
  QXT_EXPECT_STR(qxt_field(&collector, 0, "event"), "purchase");
  QXT_EXPECT_STR(qxt_field(&collector, 0, "QX_SCREEN"), "390x844");
  QXT_EXPECT_STR(qxt_field(&collector, 0, "QX_LANGUAGE"), "fr_FR");
  QXT_EXPECT_STR(qxt_field(&collector, 0, "QX_BUNDLE_IDENTIFIER"), "com.example.c");
  QXT_EXPECT_STR(qxt_field(&collector, 0, "QX_APPLICATION_VERSION"), "2.3.0");
  QXT_EXPECT_STR(qxt_field(&collector, 0, "QX_APPLICATION_BUILD"), "230");
  /* The first hit took its variables away; permanent data stays. */
  QXT_EXPECT(qxt_field(&collector, 1, "page") == NULL);
  QXT_EXPECT(qxt_field(&collector, 1, "event") == NULL);
  QXT_EXPECT_STR(qxt_field(&collector, 1, "user_id"), "42");
  qxt_collector_free(&collector);
  qx_app_vars_free(app_vars);
  qx_tracker_free(tracker);
}

/* The product keys in the order of the QX_PRODUCT_ numbers. */
static const char* const kProductKeys[] = {"product_id",
                                           "product_name",
                                           "product_quantity",
                                           "product_category",
                                           "product_price",
                                           "product_unit_price_ati",
                                           "product_unit_discount_ati",
                                           "product_unit_price_tf",
                                           "product_unit_discount_tf",
                                           "product_trademark",
                                           "product_url_page",
                                           "product_url_picture",
                                           "product_rating",
                                           "product_in_stock"};

void qxt_test_products(void) {
  qxt_collector collector;
  qx_tracker* tracker;
  qx_product* shoe = qx_product_new();
  qx_product* sock = qx_product_new();
  const qx_product* cart[2];
  qx_app_vars* app_vars = qx_app_vars_new();
  char name[64], value[32];
  char* text = NULL;
  int field;

  qxt_install_platform();
  QXT_EXPECT_OK(qxt_collector_start(&collector, 1, 200));
  tracker = tracker_to(&collector);
  for (field = QX_PRODUCT_ID; field <= QX_PRODUCT_IN_STOCK; ++field) {
    snprintf(value, sizeof value, "value %d", field);
    QXT_EXPECT_OK(qx_product_set(shoe, field, value));
  }
  QXT_EXPECT_OK(qx_product_set_property(shoe, "colour", "red"));
  QXT_EXPECT_OK(qx_product_set_property(shoe, "size", "42"));
  QXT_EXPECT_INT(qx_product_remove_property(shoe, "size"), 1);
  QXT_EXPECT_INT(qx_product_remove_property(shoe, "size"), 0);
  QXT_EXPECT_STR(qxt_take_text(qx_product_get(shoe, QX_PRODUCT_PRICE, &text, NULL), &text),
                 "value 4");
  qx_free(text);
  QXT_EXPECT_OK(qx_product_set(sock, QX_PRODUCT_ID, "SKU-2"));
  QXT_EXPECT_OK(qx_product_set(sock, QX_PRODUCT_NAME, "sock"));
  QXT_EXPECT_OK(qx_product_unset(sock, QX_PRODUCT_NAME));
  QXT_EXPECT_INT(qx_product_get(sock, QX_PRODUCT_NAME, &text, NULL), 0);

  QXT_EXPECT_OK(qx_tracker_add_product(tracker, "basket", shoe));
  QXT_EXPECT_OK(qx_tracker_add_product(tracker, "basket", sock));
  cart[0] = sock;
  cart[1] = shoe;
  QXT_EXPECT_OK(qx_app_vars_add_products(app_vars, "cart", cart, 2));
  QXT_EXPECT_OK(qx_tracker_execute(tracker, app_vars));
  QXT_EXPECT_INT(qx_flush(10000), 1);
  QXT_EXPECT_OK(qxt_collector_finish(&collector));
  QXT_EXPECT_INT(collector.hit_count, 1);
  for (field = QX_PRODUCT_ID; field <= QX_PRODUCT_IN_STOCK; ++field) {
    snprintf(name, sizeof name, "basket[%s][0]", kProductKeys[field]);
    snprintf(value, sizeof value, "value %d", field);
    QXT_EXPECT_STR(qxt_field(&collector, 0, name), value);
  }
  QXT_EXPECT_STR(qxt_field(&collector, 0, "basket[colour][0]"), "red");
  QXT_EXPECT(qxt_field(&collector, 0, "basket[size][0]") == NULL);
  QXT_EXPECT_STR(qxt_field(&collector, 0, "basket[product_id][1]"), "SKU-2");
  QXT_EXPECT(qxt_field(&collector, 0, "basket[product_name][1]") == NULL);
  QXT_EXPECT_STR(qxt_field(&collector, 0, "cart[product_id][0]"), "SKU-2");
  QXT_EXPECT_STR(qxt_field(&collector, 0, "cart[product_id][1]"), "value 0");
  qxt_collector_free(&collector);
  qx_product_free(shoe);
  qx_product_free(sock);
  qx_app_vars_free(app_vars);
  qx_tracker_free(tracker);
}

void qxt_test_consent(void) {
  qxt_collector collector;
  qx_tracker* tracker;
  qx_app_vars* consent = qx_app_vars_new();
  qx_delivery_counters before, after;

  qxt_install_platform();
  QXT_EXPECT_OK(qxt_collector_start(&collector, 2, 200));
  tracker = tracker_to(&collector);
  counters_now(&before);
  QXT_EXPECT_OK(qx_tracker_deactivate(tracker));
  QXT_EXPECT_INT(qx_tracker_is_deactivated(tracker), 1);
  QXT_EXPECT_OK(qx_tracker_add_data(tracker, "page", "dropped"));
  QXT_EXPECT_OK(qx_tracker_send(tracker));
  QXT_EXPECT_OK(qx_app_vars_add(consent, QX_CONSENT_HIT_KEY, "1"));
  QXT_EXPECT_OK(qx_app_vars_add(consent, "choice", "opt-out"));
  QXT_EXPECT_OK(qx_tracker_execute(tracker, consent));
  QXT_EXPECT_OK(qx_tracker_activate(tracker));
  QXT_EXPECT_INT(qx_tracker_is_deactivated(tracker), 0);
  QXT_EXPECT_OK(qx_tracker_add_data(tracker, "page", "after"));
  QXT_EXPECT_OK(qx_tracker_send(tracker));
  QXT_EXPECT_INT(qx_flush(10000), 1);
  counters_now(&after);
  QXT_EXPECT_INT(after.queued - before.queued, 2);
  QXT_EXPECT_INT(after.sent - before.sent, 2);

  QXT_EXPECT_OK(qxt_collector_finish(&collector));
  QXT_EXPECT_INT(collector.hit_count, 2);
  /* A hit's field names lose their "#". */
  QXT_EXPECT_STR(qxt_field(&collector, 0, "CONSENT_HIT"), "1");
  QXT_EXPECT_STR(qxt_field(&collector, 0, "choice"), "opt-out");
  QXT_EXPECT(qxt_field(&collector, 0, "page") == NULL);
  QXT_EXPECT_STR(qxt_field(&collector, 1, "page"), "after");
  QXT_EXPECT(qxt_field(&collector, 1, "CONSENT_HIT") == NULL);
  qxt_collector_free(&collector);
  qx_app_vars_free(consent);
  qx_tracker_free(tracker);
}

/* What the outcome callback heard, on the delivery thread. */
typedef struct heard_outcomes {
  pthread_mutex_t mutex;
  int count;
  int results[8];
  int statuses[8];
  int attempts[8];
  char identifiers[8][96];
  char reasons[8][128];
} heard_outcomes;

static void hear_outcome(const qx_hit_outcome* outcome, void* user_data) {
  heard_outcomes* heard = user_data;
  pthread_mutex_lock(&heard->mutex);
  if (heard->count < 8 && outcome->size >= sizeof *outcome) {
    heard->results[heard->count] = outcome->result;
    heard->statuses[heard->count] = outcome->http_status;
    heard->attempts[heard->count] = outcome->attempt;
    snprintf(heard->identifiers[heard->count], 96, "%s", outcome->hit_identifier);
    snprintf(heard->reasons[heard->count], 128, "%s", outcome->reason);
    ++heard->count;
  }
  pthread_mutex_unlock(&heard->mutex);
}

void qxt_test_outcomes(void) {
  qxt_collector taking, refusing;
  qx_tracker *good, *bad;
  qx_delivery_counters before, after;
  heard_outcomes* heard = calloc(1, sizeof *heard);
  int i, delivered = 0, dropped = 0;

  pthread_mutex_init(&heard->mutex, NULL);
  qxt_install_platform();
  QXT_EXPECT_OK(qxt_collector_start(&taking, 2, 200));
  QXT_EXPECT_OK(qxt_collector_start(&refusing, 1, 404));
  good = tracker_to(&taking);
  bad = tracker_to(&refusing);
  QXT_EXPECT_OK(qx_set_outcome_callback(hear_outcome, heard));
  counters_now(&before);
  QXT_EXPECT_OK(qx_tracker_send(good));
  QXT_EXPECT_OK(qx_tracker_send(good));
  QXT_EXPECT_OK(qx_tracker_send(bad));
  QXT_EXPECT_INT(qx_flush(10000), 1);
  /* Once it returns, the callback is not running and may go. */
  QXT_EXPECT_OK(qx_set_outcome_callback(NULL, NULL));
  counters_now(&after);

  QXT_EXPECT_INT(heard->count, 3);
  for (i = 0; i < heard->count; ++i) {
    QXT_EXPECT_INT(heard->attempts[i], 1);
    QXT_EXPECT(heard->identifiers[i][0] != '\0');
    if (heard->results[i] == QX_OUTCOME_DELIVERED) {
      QXT_EXPECT_INT(heard->statuses[i], 200);
      ++delivered;
    } else if (heard->results[i] == QX_OUTCOME_DROPPED) {
      QXT_EXPECT_INT(heard->statuses[i], 404);
      QXT_EXPECT(heard->reasons[i][0] != '\0');
      ++dropped;
    }
  }
  QXT_EXPECT_INT(delivered, 2);
  QXT_EXPECT_INT(dropped, 1);
  QXT_EXPECT(strcmp(heard->identifiers[0], heard->identifiers[1]) != 0);
  QXT_EXPECT_INT(after.queued - before.queued, 3);
  QXT_EXPECT_INT(after.sent - before.sent, 2);
  QXT_EXPECT_INT(after.dropped - before.dropped, 1);
  QXT_EXPECT_INT(after.pending, 0);
  QXT_EXPECT_OK(qxt_collector_finish(&taking));
  QXT_EXPECT_OK(qxt_collector_finish(&refusing));
  QXT_EXPECT_INT(taking.hit_count, 2);
  QXT_EXPECT_INT(refusing.hit_count, 1);
  qxt_collector_free(&taking);
  qxt_collector_free(&refusing);
  qx_tracker_free(good);
  qx_tracker_free(bad);
  pthread_mutex_destroy(&heard->mutex);
  free(heard);
}

void qxt_test_background(void) {
  qxt_collector collector;
  qx_tracker* tracker;
  qx_delivery_counters counters;

  qxt_install_platform();
  QXT_EXPECT_OK(qxt_collector_start(&collector, 2, 200));
  tracker = tracker_to(&collector);
  QXT_EXPECT_OK(qx_application_did_enter_background());
  QXT_EXPECT_OK(qx_tracker_add_data(tracker, "page", "in background"));
  QXT_EXPECT_OK(qx_tracker_send(tracker));
  /* The hit waits while the application is in background. */
  QXT_EXPECT_INT(pause_becomes(QX_PAUSE_BACKGROUND), QX_PAUSE_BACKGROUND);
  QXT_EXPECT_INT(qx_flush(300), 0);
  counters_now(&counters);
  QXT_EXPECT_INT(counters.pending, 1);
  QXT_EXPECT_OK(qx_application_will_enter_foreground());
  QXT_EXPECT_INT(qx_flush(10000), 1);
  /* Running in background on, a hit goes out at once. */
  QXT_EXPECT_OK(qx_tracker_enable_running_in_background(tracker));
  QXT_EXPECT_OK(qx_application_did_enter_background());
  QXT_EXPECT_OK(qx_tracker_add_data(tracker, "page", "still in background"));
  QXT_EXPECT_OK(qx_tracker_send(tracker));
  QXT_EXPECT_INT(qx_flush(10000), 1);
  QXT_EXPECT_INT(qx_delivery_pause(), QX_PAUSE_NONE);
  QXT_EXPECT_OK(qxt_collector_finish(&collector));
  QXT_EXPECT_INT(collector.hit_count, 2);
  QXT_EXPECT_STR(qxt_field(&collector, 0, "page"), "in background");
  QXT_EXPECT_STR(qxt_field(&collector, 1, "page"), "still in background");
  qxt_collector_free(&collector);
  qx_tracker_free(tracker);
}
