-- The schema as it stood when migrations began. Every statement is IF NOT
-- EXISTS (or OR IGNORE), so this runs over a database that an earlier
-- release made without changing it.
--
-- Tables that gained columns before migrations began are written as those
-- releases' ALTER TABLE ... ADD COLUMN left them (the added columns after
-- the last line, in the order they came): a file made new and one brought
-- up from an earlier release then hold the same text, which restore
-- compares object by object.
CREATE TABLE IF NOT EXISTS staff (
  id INTEGER PRIMARY KEY,
  first_name TEXT NOT NULL,
  last_name TEXT NOT NULL,
  display_name TEXT NOT NULL,
  created_at INTEGER NOT NULL,
  removed_at INTEGER,
  last_poll_at INTEGER
, directory_id TEXT, email TEXT, alert_url TEXT, directory_dn TEXT, directory_login TEXT);
CREATE UNIQUE INDEX IF NOT EXISTS staff_active_name ON staff(display_name) WHERE removed_at IS NULL;
CREATE INDEX IF NOT EXISTS staff_removed ON staff(removed_at) WHERE removed_at IS NOT NULL;
CREATE UNIQUE INDEX IF NOT EXISTS staff_directory_id ON staff(directory_id) WHERE directory_id IS NOT NULL;
-- Notifiers find their member of staff by the first two words of the name:
-- the expression is store/staff.cpp's lookupNameSql, which the queries use.
CREATE INDEX IF NOT EXISTS staff_lookup ON staff((CASE WHEN instr(substr(display_name, instr(display_name, ' ') + 1), ' ') = 0 THEN display_name ELSE substr(display_name, 1, instr(display_name, ' ') + instr(substr(display_name, instr(display_name, ' ') + 1), ' ') - 1) END)) WHERE removed_at IS NULL;
-- AUTOINCREMENT: notifiers keep ids they have seen, so an id is never reused.
-- announced_at: when a reassigned guest was announced to the present host
-- (NULL for a guest announced on arrival). closed_on_screen_at: when the host
-- clicked Close on a guest the desk had already withdrawn or reassigned.
CREATE TABLE IF NOT EXISTS notification (
  id INTEGER PRIMARY KEY AUTOINCREMENT,
  staff_id INTEGER NOT NULL REFERENCES staff(id),
  headline TEXT NOT NULL,
  detail TEXT NOT NULL,
  arrived_at INTEGER NOT NULL,
  delivered_at INTEGER,
  archived_at INTEGER,
  archived_by TEXT
, announced_at INTEGER, closed_on_screen_at INTEGER, visit_id INTEGER);
CREATE INDEX IF NOT EXISTS notification_waiting ON notification(staff_id, archived_at, arrived_at);
CREATE INDEX IF NOT EXISTS notification_archived ON notification(archived_at);
CREATE INDEX IF NOT EXISTS notification_arrived ON notification(arrived_at);
CREATE INDEX IF NOT EXISTS notification_visit ON notification(visit_id) WHERE visit_id IS NOT NULL;
CREATE TABLE IF NOT EXISTS desk_account (
  id INTEGER PRIMARY KEY,
  name TEXT NOT NULL UNIQUE COLLATE NOCASE,
  role TEXT NOT NULL CHECK (role IN ('desk', 'admin')),
  password_hash TEXT NOT NULL,
  created_at INTEGER NOT NULL,
  last_login_at INTEGER
);
CREATE TABLE IF NOT EXISTS desk_session (
  token_hash TEXT PRIMARY KEY,
  account_id INTEGER NOT NULL REFERENCES desk_account(id) ON DELETE CASCADE,
  created_at INTEGER NOT NULL,
  last_used_at INTEGER NOT NULL
);
CREATE INDEX IF NOT EXISTS desk_session_account ON desk_session(account_id);
CREATE TABLE IF NOT EXISTS kiosk_account (
  account_id INTEGER PRIMARY KEY REFERENCES desk_account(id) ON DELETE CASCADE
);
-- Desk accounts made by single sign-on, by the provider's identity of the person.
CREATE TABLE IF NOT EXISTS sso_identity (
  issuer TEXT NOT NULL,
  subject TEXT NOT NULL,
  account_id INTEGER NOT NULL UNIQUE REFERENCES desk_account(id) ON DELETE CASCADE,
  PRIMARY KEY (issuer, subject)
);
CREATE TABLE IF NOT EXISTS audit_log (
  id INTEGER PRIMARY KEY AUTOINCREMENT,
  at INTEGER NOT NULL,
  account TEXT NOT NULL,
  address TEXT NOT NULL,
  action TEXT NOT NULL,
  detail TEXT NOT NULL
);
-- The alert chain: alert_step holds a step of a guest's chain, taken once
-- (its primary key); alert_outbox one message on one channel, whose payload
-- is emptied once final; reply_token the reply links, by the hash of their
-- token. alert_outbox.invitation_id: the invitation an invitation's mail is
-- for (NULL for an alert, whose guest is its notification_id).
CREATE TABLE IF NOT EXISTS alert_step (
  notification_id INTEGER NOT NULL,
  step TEXT NOT NULL,
  taken_at INTEGER NOT NULL,
  PRIMARY KEY (notification_id, step)
);
CREATE TABLE IF NOT EXISTS alert_outbox (
  id INTEGER PRIMARY KEY,
  notification_id INTEGER NOT NULL,
  step TEXT NOT NULL,
  channel TEXT NOT NULL,
  target TEXT NOT NULL,
  payload TEXT NOT NULL,
  idempotency_key TEXT NOT NULL,
  state TEXT NOT NULL DEFAULT 'pending',
  attempts INTEGER NOT NULL DEFAULT 0,
  next_attempt_at INTEGER NOT NULL,
  last_status INTEGER,
  last_error TEXT NOT NULL DEFAULT '',
  updated_at INTEGER NOT NULL
, invitation_id INTEGER);
CREATE INDEX IF NOT EXISTS alert_outbox_due ON alert_outbox(next_attempt_at) WHERE state = 'pending';
CREATE INDEX IF NOT EXISTS alert_outbox_guest ON alert_outbox(notification_id);
CREATE INDEX IF NOT EXISTS alert_outbox_invitation ON alert_outbox(invitation_id) WHERE invitation_id IS NOT NULL;
CREATE TABLE IF NOT EXISTS reply_token (
  hash TEXT PRIMARY KEY,
  notification_id INTEGER NOT NULL,
  created_at INTEGER NOT NULL,
  used_at INTEGER
);
CREATE INDEX IF NOT EXISTS reply_token_guest ON reply_token(notification_id);
-- The host's own page: sessions and sign-in links, by the hash of their token.
CREATE TABLE IF NOT EXISTS host_session (
  token_hash TEXT PRIMARY KEY,
  staff_id INTEGER NOT NULL,
  method TEXT NOT NULL,
  created_at INTEGER NOT NULL,
  last_used_at INTEGER NOT NULL
);
CREATE INDEX IF NOT EXISTS host_session_staff ON host_session(staff_id);
CREATE TABLE IF NOT EXISTS sign_in_link (
  hash TEXT PRIMARY KEY,
  staff_id INTEGER NOT NULL,
  created_at INTEGER NOT NULL,
  used_at INTEGER
);
CREATE INDEX IF NOT EXISTS sign_in_link_staff ON sign_in_link(staff_id);
CREATE TABLE IF NOT EXISTS installation_secret (
  id INTEGER PRIMARY KEY CHECK (id = 1),
  secret TEXT NOT NULL
);
CREATE TABLE IF NOT EXISTS visit (
  id INTEGER PRIMARY KEY AUTOINCREMENT,
  guest_name TEXT NOT NULL,
  company TEXT NOT NULL,
  staff_id INTEGER NOT NULL,
  check_in_method TEXT NOT NULL CHECK (check_in_method IN ('desk', 'kiosk', 'invitation')),
  checked_in_by TEXT NOT NULL,
  checked_in_at INTEGER NOT NULL,
  house_rules_version TEXT,
  house_rules_sha256 TEXT,
  signed_out_at INTEGER,
  signed_out_by TEXT
);
CREATE INDEX IF NOT EXISTS visit_on_site ON visit(checked_in_at) WHERE signed_out_at IS NULL;
CREATE INDEX IF NOT EXISTS visit_checked_in ON visit(checked_in_at);
CREATE TABLE IF NOT EXISTS invitation (
  id INTEGER PRIMARY KEY AUTOINCREMENT,
  code TEXT NOT NULL,
  staff_id INTEGER NOT NULL,
  guest_name TEXT NOT NULL,
  company TEXT NOT NULL,
  guest_email TEXT NOT NULL,
  expected_on TEXT NOT NULL,
  expected_at TEXT NOT NULL,
  note TEXT NOT NULL,
  created_by TEXT NOT NULL,
  created_at INTEGER NOT NULL,
  cancelled_at INTEGER,
  visit_id INTEGER
);
CREATE UNIQUE INDEX IF NOT EXISTS invitation_open_code ON invitation(code) WHERE cancelled_at IS NULL AND visit_id IS NULL;
CREATE INDEX IF NOT EXISTS invitation_day ON invitation(expected_on);
CREATE INDEX IF NOT EXISTS invitation_host ON invitation(staff_id, expected_on);
CREATE INDEX IF NOT EXISTS invitation_visit ON invitation(visit_id) WHERE visit_id IS NOT NULL;
-- Wrong passwords by throttle key, shared by every instance on the database.
CREATE TABLE IF NOT EXISTS login_failure (
  throttle_key TEXT NOT NULL,
  failed_at INTEGER NOT NULL
);
CREATE INDEX IF NOT EXISTS login_failure_key ON login_failure(throttle_key, failed_at);
CREATE INDEX IF NOT EXISTS login_failure_at ON login_failure(failed_at);
-- Single sign-ons under way, by the hash of their browser key.
CREATE TABLE IF NOT EXISTS sso_pending (
  key_hash TEXT PRIMARY KEY,
  state TEXT NOT NULL,
  nonce TEXT NOT NULL,
  verifier TEXT NOT NULL,
  purpose TEXT NOT NULL,
  started_at INTEGER NOT NULL
);
CREATE INDEX IF NOT EXISTS sso_pending_started ON sso_pending(started_at);
-- The directory sync's queued and running marks and its last results.
CREATE TABLE IF NOT EXISTS directory_sync_state (
  slot TEXT PRIMARY KEY,
  instance TEXT NOT NULL,
  account TEXT NOT NULL,
  at INTEGER NOT NULL,
  result TEXT
);
-- Each desk account's write allowance.
CREATE TABLE IF NOT EXISTS rate_bucket (
  bucket_key TEXT PRIMARY KEY,
  milli_tokens INTEGER NOT NULL,
  level_at INTEGER NOT NULL
);
CREATE INDEX IF NOT EXISTS rate_bucket_at ON rate_bucket(level_at);
-- Raised by every change to what notifiers poll, whichever connection makes
-- it: what the service keeps in memory for polls is read again only where
-- its counter moved.
CREATE TABLE IF NOT EXISTS poll_revision (
  id INTEGER PRIMARY KEY CHECK (id = 1),
  staff INTEGER NOT NULL,
  guests INTEGER NOT NULL
);
INSERT OR IGNORE INTO poll_revision (id, staff, guests) VALUES (1, 0, 0);
CREATE TRIGGER IF NOT EXISTS poll_staff_added AFTER INSERT ON staff BEGIN
  UPDATE poll_revision SET staff = staff + 1;
END;
CREATE TRIGGER IF NOT EXISTS poll_staff_changed AFTER UPDATE OF first_name, last_name, display_name, removed_at ON staff BEGIN
  UPDATE poll_revision SET staff = staff + 1;
END;
CREATE TRIGGER IF NOT EXISTS poll_staff_deleted AFTER DELETE ON staff BEGIN
  UPDATE poll_revision SET staff = staff + 1;
END;
CREATE TRIGGER IF NOT EXISTS poll_guest_added AFTER INSERT ON notification BEGIN
  UPDATE poll_revision SET guests = guests + 1;
END;
CREATE TRIGGER IF NOT EXISTS poll_guest_changed
  AFTER UPDATE OF staff_id, headline, detail, arrived_at, delivered_at, archived_at ON notification BEGIN
  UPDATE poll_revision SET guests = guests + 1;
END;
CREATE TRIGGER IF NOT EXISTS poll_guest_deleted AFTER DELETE ON notification BEGIN
  UPDATE poll_revision SET guests = guests + 1;
END;
-- A guest's record deleted (retention) takes its alerts along: their
-- targets and reply links are personal data too.
CREATE TRIGGER IF NOT EXISTS alert_rows_of_deleted_guest AFTER DELETE ON notification BEGIN
  DELETE FROM alert_outbox WHERE notification_id = old.id;
  DELETE FROM alert_step WHERE notification_id = old.id;
  DELETE FROM reply_token WHERE notification_id = old.id;
END;
-- An invitation deleted (retention, erasure) takes its mail along: it names the guest.
CREATE TRIGGER IF NOT EXISTS invitation_mail_of_deleted_invitation AFTER DELETE ON invitation BEGIN
  DELETE FROM alert_outbox WHERE invitation_id = old.id;
END;
-- A member deactivated, removed or deleted is signed out wherever they were.
CREATE TRIGGER IF NOT EXISTS host_sessions_of_removed_staff AFTER UPDATE OF removed_at ON staff
WHEN new.removed_at IS NOT NULL BEGIN
  DELETE FROM host_session WHERE staff_id = new.id;
  DELETE FROM sign_in_link WHERE staff_id = new.id;
END;
CREATE TRIGGER IF NOT EXISTS host_sessions_of_deleted_staff AFTER DELETE ON staff BEGIN
  DELETE FROM host_session WHERE staff_id = old.id;
  DELETE FROM sign_in_link WHERE staff_id = old.id;
END;
