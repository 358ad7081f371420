/* The C API from a C99 program: hits go to `quorvex collect`, and what it
 * received is checked. Each case runs in a process of its own
 * (c_api_test CASE), as ctest starts it, so that each installs its platform
 * on a fresh data directory. */
#define _XOPEN_SOURCE 700

#include <ftw.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "quorvex.h"
#include "tests/collector.h"
#include "tests/test_cases.h"

int qxt_failures = 0;

static char data_directory[64];

static int remove_entry(const char* path, const struct stat* info, int flag, struct FTW* ftw) {
  (void)info;
  (void)flag;
  (void)ftw;
  return remove(path);
}

/* The platform of every case: a fresh data directory, an application that
 * describes itself. */
void qxt_install_platform(void) {
  static const qx_key_value info[] = {{"CFBundleShortVersionString", "2.3.0"},
                                      {"CFBundleVersion", "230"}};
  qx_platform_options options;
  memset(&options, 0, sizeof options);
  options.size = sizeof options;
  options.data_directory = data_directory;
  options.bundle_identifier = "com.example.c";
  options.locale_identifier = "fr_FR";
  options.info_dictionary = info;
  options.info_dictionary_count = 2;
  options.has_screen = 1;
  options.screen_width = 390;
  options.screen_height = 844;
  QXT_EXPECT_OK(qx_platform_install_linux_options(&options));
}

char* qxt_take_text(int result, char** text) {
  QXT_EXPECT_INT(result, 1);
  return *text;
}

static const struct {
  const char* name;
  void (*run)(void);
} kCases[] = {
    {"variables", qxt_test_variables},
    {"products", qxt_test_products},
    {"consent", qxt_test_consent},
    {"outcomes", qxt_test_outcomes},
    {"background", qxt_test_background},
    {"options", qxt_test_options},
    {"archive", qxt_test_archive},
    {"log", qxt_test_log},
    {"null_arguments", qxt_test_null_arguments},
    {"closed_handles", qxt_test_closed_handles},
    {"encoding", qxt_test_encoding},
    {"urls", qxt_test_urls},
    {"sizes", qxt_test_sizes},
};

int main(int argc, char** argv) {
  size_t i;
  if (argc != 2) {
    fprintf(stderr, "usage: %s CASE\n", argv[0]);
    return 2;
  }
  /* The collector is on this machine: never through a proxy. */
  setenv("no_proxy", "127.0.0.1", 1);
  setenv("NO_PROXY", "127.0.0.1", 1);
  strcpy(data_directory, "/tmp/quorvex-c-api-XXXXXX");
  if (mkdtemp(data_directory) == NULL) return 2;
  for (i = 0; i < sizeof kCases / sizeof kCases[0]; ++i) {
    if (strcmp(argv[1], kCases[i].name) == 0) {
      kCases[i].run();
      nftw(data_directory, remove_entry, 16, FTW_DEPTH | FTW_PHYS);
      if (qxt_failures > 0) fprintf(stderr, "%s: %d checks failed\n", argv[1], qxt_failures);
      return qxt_failures > 0 ? 1 : 0;
    }
  }
  fprintf(stderr, "no case %s\n", argv[1]);
  return 2;
}
