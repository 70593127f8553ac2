// Every configuration lookup of the updater, and its waits.
#include "config.h"
#include "ornixup.h"
#include "wait_scale.h"

void read_settings(UpdaterSettings *s) {
  s->temp_path = config_text("path", "TempPath");
  s->wget_path = config_text("path", "WgetPath");
  const char *o = "updater.options";
  s->keep_silent = config_text(o, "KeepSilent");
  s->command_timeout = config_num(o, "CommandTimeout");
  s->engine_update = config_yesno(o, "EngineUpdate") != 0;
  s->reload_application = config_yesno(o, "ReloadApplication") != 0;
  s->update_host = config_text(o, "UpdateHost");
  s->update_port = config_num(o, "UpdatePort");
  s->update_protocol = config_text(o, "UpdateProtocol");
  s->show_output = config_yesno(o, "ShowExternalCmdOutput") != 0;
  s->extra_wget_options = config_text(o, "ExtraWgetOptions");
  s->proxy_server = config_text(o, "HTTPProxyServer");
  s->proxy_port = config_num(o, "HTTPProxyPort");
  s->proxy_user = config_text(o, "HTTPProxyUser");
  s->proxy_password = config_text(o, "HTTPProxyPassword");
  s->s25r_url = config_text(o, "S25RWhiteListUrl");
  s->s25r_file = config_text("smtpscan.spam", "S25RWhiteList");
  s->public_key = config_text(o, "UpdateListPublicKey");
  s->socket_file = config_text("aveserver", "SocketFile");
  s->engine_config = config_text("aveserver", "ConfigFile");
  s->engine_update_server = config_text(o, "EngineUpdateServer");
  s->engine_update_port = config_num(o, "EngineUpdatePort");
  s->dns_database_info = config_text(o, "DNSDatabaseInfo");
  s->scripted_updates = config_text(o, "ScriptedUpdates");
  s->append_file = config_text(o, "AppendFile");
}

// Fixed waits of the updater; the test rig shortens them (wait_scale.h).
int lock_wait_ms(void) { return static_cast<int>(scaled_wait_ms(120 * 1000L)); }
int term_grace_ms(void) { return static_cast<int>(scaled_wait_ms(3 * 1000L)); }
