-- Pending sent-message records, read, billed and deleted by the daemon.
-- Text widths match the fetch buffers (size minus the terminating zero), so a
-- stored value always fits the buffer it is fetched into.
CREATE TABLE IF NOT EXISTS TSMS_SND_MSG (
  MSG_SEQ     BIGINT      NOT NULL PRIMARY KEY,
  PROC_RESULT VARCHAR(16) NULL,
  IN_GROUP    VARCHAR(16) NULL,
  OUT_GROUP   INT         NULL,
  SERIAL_NUM  VARCHAR(32) NULL,
  CALLER_NO   VARCHAR(40) NULL,
  CALLEE_NO   VARCHAR(40) NULL,
  CALLBACK_NO VARCHAR(40) NULL,
  IN_TIME     VARCHAR(16) NULL,
  REPORT_TIME VARCHAR(16) NULL,
  PROC_STS    INT         NOT NULL DEFAULT 0,
  -- The daemon's select takes nine rows with PROC_STS = 0: through this index
  -- it reads those nine whatever else the table holds, instead of scanning
  -- past rows with another status on every pass.
  KEY IX_TSMS_SND_MSG_PROC_STS (PROC_STS)
);
