#include "app/fleet_report.h"

#include <cstdio>

std::string SecondsText(double seconds) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f", seconds < 0 ? 0.0 : seconds);
  return text;
}

std::string CsvField(std::string_view text) {
  if (text.find_first_of(",\"\r\n") == std::string_view::npos) {
    return std::string(text);
  }
  std::string quoted = "\"";
  for (char c : text) {
    if (c == '"') quoted += '"';
    quoted += c;
  }
  return quoted + "\"";
}

std::string ReportCell(std::string_view text) {
  if (!text.empty() && std::string_view("=+-@\t\r").find(text[0]) != std::string_view::npos) {
    std::string cell(1, '\'');
    cell += text;
    return CsvField(cell);
  }
  return CsvField(text);
}

std::string ReportHeader(bool waited) {
  std::string header =
      "line,address,port,user,exit status,outcome,reason,seconds";
  if (waited) header += ",down seconds,back seconds";
  return header + ",name as given,added host key,added to,question\r\n";
}

std::string_view OutcomeOf(const RouterResult& result) {
  if (result.status == kExitNotStarted) return "not started";
  if (result.status == kExitNotConfirmed) return "not confirmed";
  if (result.status != 0) return "failed";
  return result.preflight ? "ready" : "rebooted";
}

std::string QuestionCell(std::string_view question) {
  std::string shown;
  for (size_t i = 0; i < question.size(); ++i) {
    const auto byte = static_cast<unsigned char>(question[i]);
    if (byte < 0x20 || byte == 0x7F) {
      shown += '?';
    } else if (byte == 0xC2 && i + 1 < question.size() &&
               static_cast<unsigned char>(question[i + 1]) >= 0x80 &&
               static_cast<unsigned char>(question[i + 1]) < 0xA0) {
      shown += '?';  // a C1 control in UTF-8
      ++i;
    } else {
      shown += question[i];
    }
  }
  return ReportCell(shown);
}

std::string ReportRow(const RouterResult& result, bool waited) {
  std::string row = std::to_string(result.line) + "," +
                    ReportCell(result.address) + "," + ReportCell(result.port) +
                    "," + ReportCell(result.user) + "," +
                    std::to_string(result.status) + "," +
                    std::string(OutcomeOf(result)) + "," +
                    ReportCell(result.reason) + "," + SecondsText(result.seconds);
  if (waited) {
    row += ",";
    if (result.downSeconds >= 0) row += SecondsText(result.downSeconds);
    row += ",";
    if (result.backSeconds >= 0) row += SecondsText(result.backSeconds);
  }
  for (const std::string* cell : {&result.givenName, &result.addedKey, &result.addedTo}) {
    row.append(",").append(ReportCell(*cell));
  }
  return row + "," + QuestionCell(result.question) + "\r\n";
}

FleetReport::~FleetReport() {
  std::string ignored;
  if (open_) CloseFleetReport(&file_, &ignored);
}

bool FleetReport::Open(const std::string& path, bool waited, std::string* error) {
  waited_ = waited;
  if (!OpenFleetReport(path, &file_, error)) return false;
  open_ = true;
  if (!WriteFleetReport(&file_, ReportHeader(waited), error)) {
    *error = path + ": cannot be written (" + *error + ")";
    return false;
  }
  return true;
}

void FleetReport::Add(const RouterResult& result) {
  if (!open_) return;
  std::string error;
  if (WriteFleetReport(&file_, ReportRow(result, waited_), &error)) {
    ++written_;
  } else {
    ++missing_;
    if (error_.empty()) error_ = error;
  }
}

bool FleetReport::Close() {
  if (!open_) return true;
  open_ = false;
  std::string error;
  if (!CloseFleetReport(&file_, &error)) {
    if (error_.empty()) error_ = error;
    // Nothing tells which rows were lost: none counts as whole.
    missing_ += written_;
    written_ = 0;
  }
  return missing_ == 0;
}
