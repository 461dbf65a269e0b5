// The job log in PostgreSQL, for the stations of a line that write to one place: one row per job
// in the table kelvane_jobs (the fields of a job log line as columns, and the whole line), each
// written in its own transaction. A line the database cannot take waits in a local JSON Lines
// file (the spool) and is sent once the database answers again; the job id is the table's key,
// so a line sent twice (a spool resent after a crash) is stored once. A line may leave its unit's
// serial number to the database: it is taken from a counter in the transaction that stores the
// line, so the record and its number commit together or not at all.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

namespace ops {

class PgJobStore {
 public:
  // url: "postgresql://..." (libpq's URI or key=value string); spool: the local file of the lines
  // the database has not taken yet.
  PgJobStore(std::string url, std::string spool);
  ~PgJobStore();
  PgJobStore(const PgJobStore&) = delete;
  PgJobStore& operator=(const PgJobStore&) = delete;

  // A new job id: 32 hex digits, random.
  static std::string newJobId();

  enum class Outcome {
    Stored,   // the database took the line (and every spooled one before it)
    Spooled,  // the database could not be reached: the line waits in the spool
    Lost,     // neither the database nor the spool could take it
  };
  // The key of a line whose unit waits for its serial number: the counter's format
  // ("LINE{n:05}"). Stored, the line has its "serial" instead; spooled, it keeps the key until it
  // is sent.
  static constexpr const char* kSerialPending = "serial_pending";

  // Stores one job line; a line without "id" gets one. Sends the spool first. Safe from several
  // threads. why: the database's or the spool's error when the line was not stored. serial: the
  // line's serial number once stored (the one the database gave it); empty while it waits.
  Outcome store(nlohmann::json line, std::string* why = nullptr, std::string* serial = nullptr);
  // Sends what the spool holds; false with the reason when the database did not take it all.
  bool flushSpool(std::string* why = nullptr);
  // Lines waiting in the spool.
  std::size_t spooled() const;
  // Every stored line, oldest end first.
  bool readAll(std::vector<nlohmann::json>* lines, std::string* why = nullptr);
  // The next number of the named counter, taken in the database: unique across every station
  // that writes to it. Empty, with the reason, when the database cannot be reached.
  std::optional<std::int64_t> nextNumber(const std::string& counter, std::string* why = nullptr);
  // The counter of a serial format: every station of the line with that format shares it.
  static std::string serialCounter(const std::string& format);

 private:
  struct Connection;
  bool connected() const;
  bool connect(std::string* why);
  // The counter's next number on the open connection, within whatever transaction is open.
  std::optional<std::int64_t> takeNumber(const std::string& counter, std::string* why);
  bool insert(const nlohmann::json& line, std::string* why, std::string* serial = nullptr);
  // Inserts the row; rows: 1, or 0 when the job id is already stored.
  bool insertRow(const nlohmann::json& line, int* rows, std::string* why);
  bool insertNumbered(nlohmann::json line, const std::string& format, std::string* why,
                      std::string* serial);
  bool appendToSpool(const nlohmann::json& line, std::string* why);
  bool sendSpool(std::string* why);

  std::string url_;
  std::string spool_;
  mutable std::mutex mutex_;
  std::unique_ptr<Connection> connection_;
};

}  // namespace ops
