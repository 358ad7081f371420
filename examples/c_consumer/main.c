/* Links the SDK as a C host application would, through the C API only:
 * builds the body of a hit without sending it, and checks that the headers
 * it was compiled against agree with the library it runs with. */
#define _XOPEN_SOURCE 700

#include <ftw.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "QXSDK/QXVersion.h"
#include "quorvex.h"

static int check(int condition, const char* what) {
  if (!condition) fprintf(stderr, "c_consumer: %s (%s)\n", what, qx_last_error());
  return condition;
}

static int remove_entry(const char* path, const struct stat* info, int flag, struct FTW* ftw) {
  (void)info;
  (void)flag;
  (void)ftw;
  return remove(path);
}

int main(void) {
  char directory[] = "/tmp/quorvex-c-consumer-XXXXXX";
  qx_tracker* tracker;
  qx_product* shoes = qx_product_new();
  qx_delivery_counters counters;
  char* body = NULL;
  size_t length = 0;
  int ok = 1;

  if (mkdtemp(directory) == NULL) return 1;
  ok &= check(qx_platform_install_linux(directory, "com.example.c-consumer") == QX_OK,
              "the platform was not installed");
  tracker = qx_tracker_new(1, 2);
  ok &= check(tracker != NULL, "no tracker");
  ok &= check(qx_tracker_add_data(tracker, "page", "home") == QX_OK, "the variable was refused");
  ok &= check(qx_product_set(shoes, QX_PRODUCT_ID, "SKU-1") == QX_OK, "the product was refused");
  ok &=
      check(qx_tracker_add_product(tracker, "basket", shoes) == QX_OK, "the product was not added");
  ok &= check(qx_tracker_post_data(tracker, NULL, &body, &length) == QX_OK, "no body");
  ok &= check(strcmp(qx_version(), QX_VERSION_STRING) == 0,
              "the library's version is not the headers'");
  ok &= check(body != NULL && strstr(body, "QX_QUORVEX_VERSION=" QX_VERSION_STRING) != NULL,
              "the hit does not carry the version");
  ok &= check(body != NULL && strstr(body, "page=home") != NULL, "the hit lost its variable");
  ok &= check(body != NULL && strstr(body, "basket%5Bproduct_id%5D%5B0%5D=SKU-1") != NULL,
              "the hit lost its product");
  memset(&counters, 0, sizeof counters);
  counters.size = sizeof counters;
  ok &= check(qx_delivery_get_counters(&counters) == QX_OK && counters.queued == 0,
              "a body was delivered as a hit");
  printf("Quorvex %s from C: %zu bytes of body, %s\n", qx_version(), length,
         ok ? "linked" : "MISMATCH");
  qx_free(body);
  qx_product_free(shoes);
  qx_tracker_free(tracker);
  nftw(directory, remove_entry, 16, FTW_DEPTH | FTW_PHYS);
  return ok ? 0 : 1;
}
