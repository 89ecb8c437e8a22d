MESSAGES = {
    "detect_start": "Checking %s",
    "detect_ok": "%s is up",
    "detect_failed": "%s check failed: %s",
    "state_send_recovery": "%s recovered, recovery notice sent",
    "state_sent_alert": "%s is down, alert sent",
    "state_already_down": "%s is still down, no repeated alert",
    "alert_recovery_title": "✅ Service recovered: %s",
    "alert_down_title": "🚨 Service down: %s",
    "alert_field_time": "Time",
    "alert_field_keyword": "Keyword",
    "alert_field_reason": "Reason",
    "alert_field_mode": "Please check soon",
}
