MESSAGES = {
    "detect_start": "开始检测 %s",
    "detect_ok": "%s 检测正常",
    "detect_failed": "%s 检测失败：%s",
    "state_send_recovery": "%s 已恢复，已发送恢复通知",
    "state_sent_alert": "%s 异常，已发送告警",
    "state_already_down": "%s 仍处于异常状态，不重复告警",
    "alert_recovery_title": "✅ 服务恢复：%s",
    "alert_down_title": "🚨 服务异常：%s",
    "alert_field_time": "时间",
    "alert_field_keyword": "关键词",
    "alert_field_reason": "原因",
    "alert_field_mode": "请尽快检查",
}
