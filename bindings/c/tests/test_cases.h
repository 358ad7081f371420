/* The cases of the C API's test program and the checks they share. */
#ifndef QUORVEX_BINDINGS_C_TESTS_TEST_CASES_H_
#define QUORVEX_BINDINGS_C_TESTS_TEST_CASES_H_

#include <stdio.h>
#include <string.h>

#include "quorvex.h"

extern int qxt_failures;

#define QXT_EXPECT(condition)                                                                      \
  do {                                                                                             \
    if (!(condition)) {                                                                            \
      fprintf(stderr, "%s:%d: expected %s (last error: \"%s\")\n", __FILE__, __LINE__, #condition, \
              qx_last_error());                                                                    \
      ++qxt_failures;                                                                              \
    }                                                                                              \
  } while (0)

#define QXT_EXPECT_INT(actual, expected)                                                   \
  do {                                                                                     \
    const long long qxt_actual = (long long)(actual);                                      \
    const long long qxt_expected = (long long)(expected);                                  \
    if (qxt_actual != qxt_expected) {                                                      \
      fprintf(stderr, "%s:%d: %s is %lld, expected %lld (last error: \"%s\")\n", __FILE__, \
              __LINE__, #actual, qxt_actual, qxt_expected, qx_last_error());               \
      ++qxt_failures;                                                                      \
    }                                                                                      \
  } while (0)

#define QXT_EXPECT_OK(call) QXT_EXPECT_INT(call, QX_OK)

#define QXT_EXPECT_STR(actual, expected)                                                     \
  do {                                                                                       \
    const char* qxt_actual = (actual);                                                       \
    if (qxt_actual == NULL || strcmp(qxt_actual, (expected)) != 0) {                         \
      fprintf(stderr, "%s:%d: %s is \"%s\", expected \"%s\"\n", __FILE__, __LINE__, #actual, \
              qxt_actual ? qxt_actual : "(null)", (expected));                               \
      ++qxt_failures;                                                                        \
    }                                                                                        \
  } while (0)

/* Installs the Linux platform on the case's own data directory. */
void qxt_install_platform(void);
/* `*text` after checking that the call that filled it answered 1 (the
 * call is made before this function reads it). */
char* qxt_take_text(int result, char** text);

/* Hits that reach the collector (hits.c). */
void qxt_test_variables(void);
void qxt_test_products(void);
void qxt_test_consent(void);
void qxt_test_outcomes(void);
void qxt_test_background(void);
/* What does not need the network (state.c). */
void qxt_test_options(void);
void qxt_test_archive(void);
void qxt_test_log(void);
/* Bad input (errors.c). */
void qxt_test_null_arguments(void);
void qxt_test_closed_handles(void);
void qxt_test_encoding(void);
void qxt_test_urls(void);
void qxt_test_sizes(void);

#endif /* QUORVEX_BINDINGS_C_TESTS_TEST_CASES_H_ */
