#include "engine/alerts/mail.h"

namespace engine::alerts {

std::vector<std::string> parse_email_recipients(std::string_view raw) {
  constexpr std::string_view kFullWidthComma = "，";  // U+FF0C
  std::vector<std::string> recipients;
  std::string piece;
  for (std::size_t i = 0; i < raw.size();) {
    std::size_t separator = space_at(raw, i);
    if (separator == 0 && raw[i] == ',') separator = 1;
    if (separator == 0 && raw.substr(i, kFullWidthComma.size()) == kFullWidthComma) separator = kFullWidthComma.size();
    if (separator == 0) {
      piece += raw[i++];
      continue;
    }
    if (!piece.empty()) recipients.push_back(std::move(piece));
    piece.clear();
    i += separator;
  }
  if (!piece.empty()) recipients.push_back(std::move(piece));
  return recipients;
}

NoticeKind notice_kind(std::string_view msg) {
  const auto has = [&](std::string_view mark) { return msg.find(mark) != std::string_view::npos; };
  if (has("✅") || has("恢复")) return NoticeKind::Recovery;
  if (has("🚨") || has("异常")) return NoticeKind::Alert;
  return NoticeKind::Status;
}

std::string_view band_colour(NoticeKind kind) {
  switch (kind) {
    case NoticeKind::Recovery: return "#10b981";
    case NoticeKind::Alert: return "#ef4444";
    case NoticeKind::Status: return "#4f46e5";
  }
  return {};
}

std::string_view heading(NoticeKind kind) {
  switch (kind) {
    case NoticeKind::Recovery: return "服务恢复通知";
    case NoticeKind::Alert: return "服务异常告警";
    case NoticeKind::Status: return "监控状态通知";
  }
  return {};
}

std::string mail_subject(NoticeKind kind) { return "[Quorvelta] " + std::string(heading(kind)); }

std::string html_escape(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (const char c : text) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      case '\'': out += "&#x27;"; break;
      default: out += c;
    }
  }
  return out;
}

std::string mail_html(std::string_view msg) {
  const NoticeKind kind = notice_kind(msg);
  const ParsedAlert parsed = parse_alert_msg(msg);

  // A page title or an error text can hold markup; it must show, not act.
  std::string body;
  if (parsed.fields.empty()) {
    body = "<p style=\"margin:0;color:#1e293b;font-size:16px;font-weight:600;\">" + html_escape(parsed.title) + "</p>";
  } else {
    body = "<p style=\"margin:0 0 18px;color:#1e293b;font-size:16px;font-weight:600;\">" + html_escape(parsed.title) +
           "</p><table width=\"100%\" cellpadding=\"0\" cellspacing=\"0\" style=\"border-collapse:collapse;\">";
    for (const auto& [label, value] : parsed.fields) {
      body += "<tr><td style=\"padding:10px 14px;color:#64748b;font-size:13px;white-space:nowrap;vertical-align:top;"
              "border-bottom:1px solid #f1f5f9;\">" +
              html_escape(label) +
              "</td><td style=\"padding:10px 14px;color:#1e293b;font-size:14px;border-bottom:1px solid #f1f5f9;\">" +
              html_escape(value) + "</td></tr>";
    }
    body += "</table>";
  }

  std::string html;
  html += "<!DOCTYPE html><html lang=\"zh-CN\"><head><meta charset=\"UTF-8\"></head>";
  html += "<body style=\"margin:0;padding:0;background:#f1f5f9;"
          "font-family:-apple-system,'Microsoft YaHei','PingFang SC',sans-serif;\">";
  html += "<table width=\"100%\" cellpadding=\"0\" cellspacing=\"0\" style=\"background:#f1f5f9;padding:40px 0;\">"
          "<tr><td align=\"center\">";
  html += "<table width=\"520\" cellpadding=\"0\" cellspacing=\"0\" style=\"background:#fff;border-radius:12px;"
          "overflow:hidden;box-shadow:0 2px 16px rgba(0,0,0,0.06);\">";
  // Header band: the kind's colour and heading.
  html += "<tr><td style=\"background:";
  html += band_colour(kind);
  html += ";padding:28px 30px;text-align:center;\">"
          "<p style=\"margin:0;color:rgba(255,255,255,0.9);font-size:13px;letter-spacing:2px;\">";
  html += kSenderName;
  html += "</p><h2 style=\"margin:8px 0 0;color:#fff;font-size:20px;font-weight:700;\">";
  html += heading(kind);
  html += "</h2></td></tr>";
  // Content.
  html += "<tr><td style=\"padding:28px 30px;\"><div style=\"color:#334155;font-size:14px;line-height:1.8;\">";
  html += body;
  html += "</div></td></tr>";
  // Footer.
  html += "<tr><td style=\"background:#f8fafc;padding:16px 30px;text-align:center;\">"
          "<p style=\"margin:0 0 4px;color:#94a3b8;font-size:11px;\"><strong style=\"color:#4f46e5;\">Quorvelta</strong>"
          " · 实时服务可用性监控</p>";
  html += "<p style=\"margin:0;color:#94a3b8;font-size:11px;\"><a href=\"https://";
  html += kSiteHost;
  html += "\" style=\"color:#6366f1;text-decoration:none;\">";
  html += kSiteHost;
  html += "</a></p></td></tr>";
  html += "</table></td></tr></table></body></html>";
  return html;
}

}  // namespace engine::alerts
