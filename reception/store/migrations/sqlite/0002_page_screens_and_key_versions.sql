-- Host pages as screens: notification.seen_on_page_at, when an open page of
-- the host's was first sent the guest; staff.page_open_until, until when the
-- host counts as having a page open (renewed while one is).
ALTER TABLE notification ADD COLUMN seen_on_page_at INTEGER;
ALTER TABLE staff ADD COLUMN page_open_until INTEGER;
-- Personal notifier keys replaced ("New key"): a member without a row keeps
-- the key of version 0.
CREATE TABLE IF NOT EXISTS personal_key_version (
  staff_id INTEGER PRIMARY KEY,
  version INTEGER NOT NULL,
  replaced_at INTEGER NOT NULL
);
