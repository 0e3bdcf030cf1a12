// A PHP extension over the libraries, as the product's own extension uses them. What a forking
// host shares is made in MINIT, before php-fpm forks its workers: the log's file sink, the
// robust lock and the shared counter it guards, and the time zones. A request only uses them.
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include <xcommon/cron_schedule.h>
#include <xcommon/xaccesstoken.h>
#include <xcommon/xlogger.h>
#include <xcommon/xrobust_rwlock.h>
#include <xcommon/xsharedmem.h>
#include <xjson/xjson.h>

// php.h first: PHP's other headers rely on it.
// clang-format off
#include "php.h"
#include "ext/standard/info.h"
// clang-format on

namespace {

// The data the lock guards, in memory shared with every worker. A writer killed between its two
// stores leaves them unequal; the next writer finds the lock inconsistent and repairs them.
struct Counter {
  std::int64_t value;
  std::int64_t check;  // equal to value whenever the lock is consistent
  std::int64_t repairs;
};

// Made in MINIT, in the master; every worker inherits them at fork.
std::unique_ptr<XSharedMem> g_memory;
std::unique_ptr<XRobustSharedReadWriteLock> g_lock;
Counter* g_counter = nullptr;

// Loads the zones named in the comma-separated list: a zone read before the fork is inherited,
// so no worker reads the zone database in a request.
void preloadZones(const std::string& zones) {
  CronSchedule schedule("0 0 0 * * *", false);
  for (std::size_t at = 0; at < zones.size();) {
    const std::size_t comma = std::min(zones.find(',', at), zones.size());
    if (!schedule.set_time_zone(zones.substr(at, comma - at)))
      php_error_docref(nullptr, E_WARNING, "%s", schedule.get_error().c_str());
    at = comma + 1;
  }
}

// The one string argument of the running PHP function; false, with PHP's TypeError raised, when
// the call passed something else.
bool stringArgument(zend_execute_data* execute_data, std::string_view& out) {
  char* text = nullptr;
  size_t length = 0;
  if (zend_parse_parameters(ZEND_NUM_ARGS(), "s", &text, &length) == FAILURE) return false;
  out = {text, length};
  return true;
}

}  // namespace

PHP_INI_BEGIN()
PHP_INI_ENTRY("xdemo.log_file", "", PHP_INI_SYSTEM, nullptr)
PHP_INI_ENTRY("xdemo.zones", "Europe/Berlin", PHP_INI_SYSTEM, nullptr)
PHP_INI_END()

static PHP_MINIT_FUNCTION(xdemo) {
  REGISTER_INI_ENTRIES();
  const std::string logFile = INI_STR("xdemo.log_file");
  if (logFile.empty()) {
    XLogger::instance()->addSink(std::make_unique<XLogger::StdOutSink>(stderr, stderr, stderr),
                                 XLogger::INFO);
  } else {
    XLogger::instance()->addSink(std::make_unique<XLogger::FileSink>(logFile), XLogger::INFO);
  }
  const std::string suffix = std::to_string(getpid());
  g_memory = std::make_unique<XSharedMem>(("/xdemo-counter-" + suffix).c_str(), sizeof(Counter));
  g_lock = std::make_unique<XRobustSharedReadWriteLock>(("/xdemo-lock-" + suffix).c_str());
  if (!g_memory->is_valid() || !g_lock->is_valid()) {
    php_error_docref(nullptr, E_WARNING, "xdemo: %s%s", g_memory->error().c_str(),
                     g_lock->error().c_str());
    return FAILURE;
  }
  g_counter = new (g_memory->address()) Counter{};
  preloadZones(INI_STR("xdemo.zones"));
  return SUCCESS;
}

static PHP_MSHUTDOWN_FUNCTION(xdemo) {
  g_counter = nullptr;
  g_lock.reset();
  g_memory.reset();
  XLogger::destroyInstance();
  UNREGISTER_INI_ENTRIES();
  return SUCCESS;
}

static PHP_MINFO_FUNCTION(xdemo) {
  php_info_print_table_start();
  php_info_print_table_row(2, "xdemo", "enabled");
  php_info_print_table_end();
}

// xdemo_log(string $message): void
static PHP_FUNCTION(xdemo_log) {
  std::string_view message;
  if (!stringArgument(execute_data, message)) RETURN_THROWS();
  XLOG(XLogger::INFO, "{}", message);
}

// xdemo_increment(): int, the counter's new value; false when the lock fails.
static PHP_FUNCTION(xdemo_increment) {
  ZEND_PARSE_PARAMETERS_NONE();
  if (g_counter == nullptr || !g_lock->lock_for_write()) RETURN_FALSE;
  if (!g_lock->is_consistent()) {  // a writer died between the two stores
    g_counter->check = g_counter->value;
    ++g_counter->repairs;
    if (!g_lock->mark_consistent()) XLOG(XLogger::ERROR, "{}", g_lock->error());
  }
  const std::int64_t value = ++g_counter->value;
  g_counter->check = value;
  if (!g_lock->unlock()) XLOG(XLogger::ERROR, "{}", g_lock->error());
  RETURN_LONG(value);
}

// xdemo_counter(): array{value: int, repairs: int, consistent: bool}; false when the lock fails.
static PHP_FUNCTION(xdemo_counter) {
  ZEND_PARSE_PARAMETERS_NONE();
  if (g_counter == nullptr || !g_lock->lock_for_read()) RETURN_FALSE;
  const Counter seen = *g_counter;
  const bool consistent = g_lock->is_consistent() && seen.value == seen.check;
  if (!g_lock->unlock()) XLOG(XLogger::ERROR, "{}", g_lock->error());
  array_init(return_value);
  add_assoc_long(return_value, "value", seen.value);
  add_assoc_long(return_value, "repairs", seen.repairs);
  add_assoc_bool(return_value, "consistent", consistent);
}

// xdemo_next_run(string $cron, string $zone, int $from): int, the next firing after $from;
// false with a warning for a bad expression or zone.
static PHP_FUNCTION(xdemo_next_run) {
  char *cron = nullptr, *zone = nullptr;
  size_t cronLength = 0, zoneLength = 0;
  zend_long from = 0;
  ZEND_PARSE_PARAMETERS_START(3, 3)
  Z_PARAM_STRING(cron, cronLength)
  Z_PARAM_STRING(zone, zoneLength)
  Z_PARAM_LONG(from)
  ZEND_PARSE_PARAMETERS_END();
  CronSchedule schedule(std::string(cron, cronLength), false);
  if (!schedule.is_valid() || !schedule.set_time_zone(std::string(zone, zoneLength))) {
    php_error_docref(nullptr, E_WARNING, "%s", schedule.get_error().c_str());
    RETURN_FALSE;
  }
  RETURN_LONG(schedule.next({from, 0}).seconds);
}

// xdemo_json(string $text): string, the document printed compact; false with a warning that
// says where when it is not JSON.
static PHP_FUNCTION(xdemo_json) {
  std::string_view text;
  if (!stringArgument(execute_data, text)) RETURN_THROWS();
  XJson::ParseError error;  // PHP's strings need no NUL for the parse
  const XJson::Document doc = XJson::Document::fromJson(text, &error, XJson::JsonRest::Refuse);
  if (!doc.is_valid()) {
    php_error_docref(nullptr, E_WARNING, "line %zu, column %zu: %.*s", error.line, error.column,
                     static_cast<int>(error.reason.size()), error.reason.data());
    RETURN_FALSE;
  }
  const std::string printed = doc.toJson(XJson::JsonFormat::Compact);
  RETURN_STRINGL(printed.data(), printed.size());
}

// xdemo_token(int $validity): string, a new token valid for $validity seconds.
static PHP_FUNCTION(xdemo_token) {
  zend_long validity = 0;
  ZEND_PARSE_PARAMETERS_START(1, 1)
  Z_PARAM_LONG(validity)
  ZEND_PARSE_PARAMETERS_END();
  const std::string text = XAccessToken::generate(static_cast<int>(validity), false).text();
  RETURN_STRINGL(text.data(), text.size());
}

// xdemo_check_token(string $text): bool, whether the token is well formed and unexpired.
static PHP_FUNCTION(xdemo_check_token) {
  std::string_view text;
  if (!stringArgument(execute_data, text)) RETURN_THROWS();
  RETURN_BOOL(XAccessToken(text.data(), text.size()).is_valid());
}

ZEND_BEGIN_ARG_WITH_RETURN_TYPE_INFO_EX(arginfo_xdemo_log, 0, 1, IS_VOID, 0)
ZEND_ARG_TYPE_INFO(0, message, IS_STRING, 0)
ZEND_END_ARG_INFO()
ZEND_BEGIN_ARG_WITH_RETURN_TYPE_MASK_EX(arginfo_xdemo_increment, 0, 0, MAY_BE_LONG | MAY_BE_FALSE)
ZEND_END_ARG_INFO()
ZEND_BEGIN_ARG_WITH_RETURN_TYPE_MASK_EX(arginfo_xdemo_counter, 0, 0, MAY_BE_ARRAY | MAY_BE_FALSE)
ZEND_END_ARG_INFO()
ZEND_BEGIN_ARG_WITH_RETURN_TYPE_MASK_EX(arginfo_xdemo_next_run, 0, 3, MAY_BE_LONG | MAY_BE_FALSE)
ZEND_ARG_TYPE_INFO(0, cron, IS_STRING, 0)
ZEND_ARG_TYPE_INFO(0, zone, IS_STRING, 0)
ZEND_ARG_TYPE_INFO(0, from, IS_LONG, 0)
ZEND_END_ARG_INFO()
ZEND_BEGIN_ARG_WITH_RETURN_TYPE_MASK_EX(arginfo_xdemo_json, 0, 1, MAY_BE_STRING | MAY_BE_FALSE)
ZEND_ARG_TYPE_INFO(0, text, IS_STRING, 0)
ZEND_END_ARG_INFO()
ZEND_BEGIN_ARG_WITH_RETURN_TYPE_INFO_EX(arginfo_xdemo_token, 0, 1, IS_STRING, 0)
ZEND_ARG_TYPE_INFO(0, validity, IS_LONG, 0)
ZEND_END_ARG_INFO()
ZEND_BEGIN_ARG_WITH_RETURN_TYPE_INFO_EX(arginfo_xdemo_check_token, 0, 1, _IS_BOOL, 0)
ZEND_ARG_TYPE_INFO(0, text, IS_STRING, 0)
ZEND_END_ARG_INFO()

// clang-format off
static const zend_function_entry xdemo_functions[] = {
    PHP_FE(xdemo_log, arginfo_xdemo_log)
    PHP_FE(xdemo_increment, arginfo_xdemo_increment)
    PHP_FE(xdemo_counter, arginfo_xdemo_counter)
    PHP_FE(xdemo_next_run, arginfo_xdemo_next_run)
    PHP_FE(xdemo_json, arginfo_xdemo_json)
    PHP_FE(xdemo_token, arginfo_xdemo_token)
    PHP_FE(xdemo_check_token, arginfo_xdemo_check_token)
    PHP_FE_END};
// clang-format on

zend_module_entry xdemo_module_entry = {STANDARD_MODULE_HEADER,
                                        "xdemo",
                                        xdemo_functions,
                                        PHP_MINIT(xdemo),
                                        PHP_MSHUTDOWN(xdemo),
                                        nullptr,
                                        nullptr,
                                        PHP_MINFO(xdemo),
                                        "1.0.0",
                                        STANDARD_MODULE_PROPERTIES};

ZEND_GET_MODULE(xdemo)
