-- Host pages as screens: notification.seen_on_page_at, when an open page of
-- the host's was first sent the guest; staff.page_open_until, until when the
-- host counts as having a page open (renewed while one is).
ALTER TABLE notification ADD COLUMN IF NOT EXISTS seen_on_page_at BIGINT;
ALTER TABLE staff ADD COLUMN IF NOT EXISTS page_open_until BIGINT;
-- Personal notifier keys replaced ("New key"): a member without a row keeps
-- the key of version 0.
CREATE TABLE IF NOT EXISTS personal_key_version (
  staff_id BIGINT PRIMARY KEY,
  version BIGINT NOT NULL,
  replaced_at BIGINT NOT NULL
);
-- Every instance hears of host sessions ended (signed out everywhere,
-- expired, member gone), so that the host pages open on it end with them.
CREATE OR REPLACE FUNCTION host_sessions_ended() RETURNS trigger LANGUAGE plpgsql AS $$
BEGIN
  IF EXISTS (SELECT 1 FROM old_rows) THEN
    PERFORM pg_notify('vestibra_changes', 'sessions');
  END IF;
  RETURN NULL;
END $$;
CREATE OR REPLACE TRIGGER host_session_ended AFTER DELETE ON host_session REFERENCING OLD TABLE AS old_rows
  FOR EACH STATEMENT EXECUTE FUNCTION host_sessions_ended();
