#include "ops/pg_job_store.h"

#include <libpq-fe.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

#include "ops/serial_format.h"
#include "platform/append_file.h"
#include "platform/replace_file.h"

namespace ops {

namespace {

constexpr char kSchema[] = R"sql(
CREATE TABLE IF NOT EXISTS kelvane_jobs (
  id text PRIMARY KEY,
  stored bigserial,
  job text NOT NULL,
  started timestamptz,
  ended timestamptz,
  port text,
  device text,
  station text,
  operator text,
  serial text,
  recipe text,
  recipe_revision text,
  recipe_sha256 text,
  family integer,
  code integer,
  success boolean,
  message text,
  detail text,
  bytes_written bigint,
  seconds double precision,
  line jsonb NOT NULL
);
CREATE TABLE IF NOT EXISTS kelvane_counters (
  name text PRIMARY KEY,
  last bigint NOT NULL
);
)sql";

constexpr char kTakeNumber[] =
    "INSERT INTO kelvane_counters (name, last) VALUES ($1, 1) "
    "ON CONFLICT (name) DO UPDATE SET last = kelvane_counters.last + 1 RETURNING last";

constexpr char kInsert[] = R"sql(
INSERT INTO kelvane_jobs (id, job, started, ended, port, device, station, operator, serial,
  recipe, recipe_revision, recipe_sha256, family, code, success, message, detail, bytes_written,
  seconds, line)
VALUES ($1, $2, $3::timestamptz, $4::timestamptz, $5, $6, $7, $8, $9, $10, $11, $12,
  $13::integer, $14::integer, $15::boolean, $16, $17, $18::bigint, $19::double precision,
  $20::jsonb)
ON CONFLICT (id) DO NOTHING
)sql";

// A field of the line as the text of a parameter; null when the line does not have it.
std::optional<std::string> field(const nlohmann::json& object, const char* key) {
  if (!object.is_object()) return std::nullopt;
  const auto it = object.find(key);
  if (it == object.end() || it->is_null()) return std::nullopt;
  if (it->is_string()) {
    if (it->get_ref<const std::string&>().empty()) return std::nullopt;
    return it->get<std::string>();
  }
  if (it->is_boolean()) return it->get<bool>() ? "true" : "false";
  return it->dump();
}

// The client library's message on one line: it may run over several, indented.
std::string errorOf(PGconn* c) {
  const std::string raw = c ? PQerrorMessage(c) : "out of memory";
  std::string text;
  for (std::size_t i = 0; i < raw.size(); ++i) {
    if (raw[i] != '\n') {
      text += raw[i];
      continue;
    }
    while (i + 1 < raw.size() && (raw[i + 1] == '\t' || raw[i + 1] == ' ')) ++i;
    if (i + 1 < raw.size()) text += ' ';
  }
  while (!text.empty() && text.back() == ' ') text.pop_back();
  return text;
}

}  // namespace

struct PgJobStore::Connection {
  PGconn* conn = nullptr;
  ~Connection() {
    if (conn) PQfinish(conn);
  }
  // Runs a command without parameters; false with the server's words.
  bool exec(const char* sql, std::string* why) {
    PGresult* r = PQexec(conn, sql);
    const bool ok = PQresultStatus(r) == PGRES_COMMAND_OK || PQresultStatus(r) == PGRES_TUPLES_OK;
    if (!ok && why) *why = errorOf(conn);
    PQclear(r);
    return ok;
  }
};

PgJobStore::PgJobStore(std::string url, std::string spool)
    : url_(std::move(url)), spool_(std::move(spool)) {}

PgJobStore::~PgJobStore() = default;

std::string PgJobStore::newJobId() {
  std::random_device device;
  std::mt19937_64 rng((static_cast<std::uint64_t>(device()) << 32) ^ device());
  char text[33];
  std::snprintf(text, sizeof text, "%016llx%016llx", static_cast<unsigned long long>(rng()),
                static_cast<unsigned long long>(rng()));
  return text;
}

bool PgJobStore::connected() const {
  return connection_ && PQstatus(connection_->conn) == CONNECTION_OK;
}

bool PgJobStore::connect(std::string* why) {
  if (connection_ && PQstatus(connection_->conn) == CONNECTION_OK) return true;
  connection_.reset();
  auto c = std::make_unique<Connection>();
  // A database that does not answer must not hold the station up for long.
  const char* keys[] = {"dbname", "connect_timeout", "application_name", nullptr};
  const char* values[] = {url_.c_str(), "5", "kelvane", nullptr};
  c->conn = PQconnectdbParams(keys, values, 1);
  if (!c->conn || PQstatus(c->conn) != CONNECTION_OK) {
    if (why) *why = "the database cannot be reached: " + errorOf(c->conn);
    return false;
  }
  // The server's notices ("already exists, skipping") are not for the technician's terminal.
  PQsetNoticeProcessor(
      c->conn, [](void*, const char*) {}, nullptr);
  // Two stations starting at once may both create the tables; the loser's error is harmless and
  // the second try finds them.
  std::string schemaWhy;
  if (!c->exec(kSchema, &schemaWhy) && !c->exec(kSchema, &schemaWhy)) {
    if (why) *why = "the database refused the job table: " + schemaWhy;
    return false;
  }
  connection_ = std::move(c);
  return true;
}

bool PgJobStore::insertRow(const nlohmann::json& line, int* rows, std::string* why) {
  const nlohmann::json& result = line.contains("result") ? line["result"] : nlohmann::json();
  const nlohmann::json& recipe = line.contains("recipe") ? line["recipe"] : nlohmann::json();
  const std::array<std::optional<std::string>, 20> params = {
      field(line, "id"),
      field(line, "job"),
      field(line, "start"),
      field(line, "end"),
      field(line, "port"),
      field(line, "device"),
      field(line, "station"),
      field(line, "operator"),
      field(line, "serial"),
      field(recipe, "name"),
      field(recipe, "revision"),
      field(recipe, "sha256"),
      field(result, "family"),
      field(result, "code"),
      field(result, "success"),
      field(result, "message"),
      field(result, "detail"),
      field(line, "bytes_written"),
      field(line, "seconds"),
      line.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace),
  };
  std::array<const char*, 20> values{};
  for (std::size_t i = 0; i < params.size(); ++i)
    values[i] = params[i] ? params[i]->c_str() : nullptr;
  if (!values[1]) values[1] = "";
  PGresult* r = PQexecParams(connection_->conn, kInsert, static_cast<int>(values.size()), nullptr,
                             values.data(), nullptr, nullptr, 0);
  const bool ok = PQresultStatus(r) == PGRES_COMMAND_OK;
  if (ok && rows) *rows = std::atoi(PQcmdTuples(r));
  if (!ok && why) *why = "the database refused the job's line: " + errorOf(connection_->conn);
  PQclear(r);
  if (!ok && PQstatus(connection_->conn) != CONNECTION_OK) connection_.reset();
  return ok;
}

bool PgJobStore::insert(const nlohmann::json& line, std::string* why, std::string* serial) {
  const auto pending = line.find(kSerialPending);
  if (pending != line.end() && pending->is_string())
    return insertNumbered(line, pending->get<std::string>(), why, serial);
  int rows = 0;
  if (!insertRow(line, &rows, why)) return false;
  if (serial) *serial = line.value("serial", "");
  return true;
}

bool PgJobStore::insertNumbered(nlohmann::json line, const std::string& format, std::string* why,
                                std::string* serial) {
  line.erase(kSerialPending);
  SerialFormat parsed;
  // A mark no counter can serve (a hand-edited spool) must not hold up the lines behind it: the
  // record goes in without a number.
  if (!parseSerialFormat(format, &parsed, nullptr)) return insert(line, why, serial);
  Connection& c = *connection_;
  std::string reason;
  // The number and the row in one transaction: a failure anywhere takes the number back.
  const auto fail = [&](const std::string& what) {
    if (why) *why = what + errorOf(c.conn);
    if (PQstatus(c.conn) != CONNECTION_OK)
      connection_.reset();
    else
      c.exec("ROLLBACK", nullptr);
    return false;
  };
  if (!c.exec("BEGIN", &reason)) return fail("the database refused the job's line: ");
  const std::optional<std::int64_t> number = takeNumber(serialCounter(format), nullptr);
  if (!number) return fail("the database did not give a number: ");
  line["serial"] = formatSerial(parsed, static_cast<std::uint64_t>(*number));
  int rows = 0;
  if (!insertRow(line, &rows, why)) {
    if (connection_) c.exec("ROLLBACK", nullptr);
    return false;
  }
  if (rows == 0) {
    // The job is stored already (a spool sent again after a crash): it keeps the number it got
    // then, and this one is not used.
    c.exec("ROLLBACK", nullptr);
    if (serial) {
      const std::string id = line.value("id", "");
      const char* key[] = {id.c_str()};
      PGresult* got = PQexecParams(c.conn, "SELECT serial FROM kelvane_jobs WHERE id = $1", 1,
                                   nullptr, key, nullptr, nullptr, 0);
      if (PQresultStatus(got) == PGRES_TUPLES_OK && PQntuples(got) == 1 && !PQgetisnull(got, 0, 0))
        *serial = PQgetvalue(got, 0, 0);
      PQclear(got);
    }
    return true;
  }
  if (!c.exec("COMMIT", &reason)) return fail("the database refused the job's line: ");
  if (serial) *serial = line["serial"].get<std::string>();
  return true;
}

bool PgJobStore::appendToSpool(const nlohmann::json& line, std::string* why) {
  platform::AppendFile file;
  std::string reason;
  const std::string text =
      line.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
  if (!file.open(spool_, &reason) ||
      !file.append(reinterpret_cast<const std::uint8_t*>(text.data()), text.size(), &reason) ||
      !file.sync(&reason)) {
    if (why) *why = "the spool " + spool_ + " cannot take the job's line: " + reason;
    return false;
  }
  return true;
}

bool PgJobStore::sendSpool(std::string* why) {
  std::error_code ec;
  if (!std::filesystem::exists(spool_, ec) || std::filesystem::file_size(spool_, ec) == 0)
    return true;
  std::ifstream in(spool_, std::ios::binary);
  std::string text;
  while (std::getline(in, text)) {
    if (text.empty()) continue;
    const nlohmann::json line = nlohmann::json::parse(text, nullptr, false);
    // A line cut short (a crash while it was written) carries no job: nothing to send.
    if (line.is_discarded() || !line.is_object()) continue;
    if (!insert(line, why)) return false;
  }
  in.close();
  // Every line is in the database: the spool starts again empty. A crash before this point sends
  // them again, which the key makes harmless.
  std::string reason;
  if (!platform::replaceFile(spool_, "", &reason)) {
    if (why) *why = "the spool " + spool_ + " cannot be emptied: " + reason;
    return false;
  }
  return true;
}

PgJobStore::Outcome PgJobStore::store(nlohmann::json line, std::string* why, std::string* serial) {
  if (!line.contains("id")) line["id"] = newJobId();
  std::lock_guard lock(mutex_);
  std::string reason;
  const bool wasConnected = connected();
  const auto attempt = [&] {
    return connect(&reason) && sendSpool(&reason) && insert(line, &reason, serial);
  };
  // A connection the server closed since the last job (a restart) is found only now: once more
  // on a new one.
  if (attempt() || (wasConnected && !connection_ && attempt())) return Outcome::Stored;
  if (!appendToSpool(line, why)) return Outcome::Lost;
  if (why) *why = reason;
  return Outcome::Spooled;
}

bool PgJobStore::flushSpool(std::string* why) {
  std::lock_guard lock(mutex_);
  return connect(why) && sendSpool(why);
}

std::size_t PgJobStore::spooled() const {
  std::lock_guard lock(mutex_);
  std::ifstream in(spool_, std::ios::binary);
  std::size_t n = 0;
  std::string text;
  while (std::getline(in, text))
    if (!text.empty()) ++n;
  return n;
}

bool PgJobStore::readAll(std::vector<nlohmann::json>* lines, std::string* why) {
  std::lock_guard lock(mutex_);
  if (!connect(why)) return false;
  PGresult* r = PQexec(connection_->conn,
                       "SELECT line::text FROM kelvane_jobs ORDER BY ended NULLS FIRST, stored");
  const bool ok = PQresultStatus(r) == PGRES_TUPLES_OK;
  if (!ok && why) *why = "the database did not give the jobs: " + errorOf(connection_->conn);
  for (int i = 0; ok && i < PQntuples(r); ++i)
    lines->push_back(nlohmann::json::parse(PQgetvalue(r, i, 0), nullptr, false));
  PQclear(r);
  return ok;
}

std::string PgJobStore::serialCounter(const std::string& format) {
  return "serial " + format;
}

std::optional<std::int64_t> PgJobStore::nextNumber(const std::string& counter, std::string* why) {
  std::lock_guard lock(mutex_);
  const bool wasConnected = connected();
  const auto attempt = [&]() -> std::optional<std::int64_t> {
    if (!connect(why)) return std::nullopt;
    // One statement, one transaction: two stations asking at once get two numbers.
    std::optional<std::int64_t> number = takeNumber(counter, why);
    if (!number && PQstatus(connection_->conn) != CONNECTION_OK) connection_.reset();
    return number;
  };
  std::optional<std::int64_t> number = attempt();
  if (!number && wasConnected && !connected()) number = attempt();
  return number;
}

std::optional<std::int64_t> PgJobStore::takeNumber(const std::string& counter, std::string* why) {
  const char* values[] = {counter.c_str()};
  PGresult* r =
      PQexecParams(connection_->conn, kTakeNumber, 1, nullptr, values, nullptr, nullptr, 0);
  std::optional<std::int64_t> number;
  if (PQresultStatus(r) == PGRES_TUPLES_OK && PQntuples(r) == 1)
    number = std::stoll(PQgetvalue(r, 0, 0));
  else if (why)
    *why = "the database did not give a number: " + errorOf(connection_->conn);
  PQclear(r);
  return number;
}

}  // namespace ops
