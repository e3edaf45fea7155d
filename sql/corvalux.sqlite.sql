CREATE TABLE Measure (
  Measure_id INTEGER PRIMARY KEY AUTOINCREMENT,
  Measure_value VARCHAR(255),
  Probe_id INTEGER,
  Measure_type_code INTEGER,
  Measure_datetime DATETIME
);
CREATE INDEX IDX_Measure_MTC_PrID_MDT ON Measure (Measure_type_code ASC, Probe_id ASC, Measure_datetime ASC);
CREATE TABLE Tmp_measure (
  Measure_id INTEGER PRIMARY KEY AUTOINCREMENT,
  Measure_value VARCHAR(20),
  Measure_datetime DATETIME,
  Probe_id INTEGER,
  Measure_type_code INTEGER DEFAULT 1,
  Probe_type_id INTEGER
);
CREATE INDEX Tmp_Measure_Measure_datetime_00 ON Tmp_measure (Measure_datetime ASC);
CREATE INDEX Tmp_Measure_Measure_datetime_01 ON Tmp_measure (Measure_datetime DESC);
CREATE INDEX Tmp_Measure_Measure_type_code ON Tmp_measure (Measure_type_code);
CREATE INDEX Tmp_Measure_Probe_id ON Tmp_measure (Probe_id);
CREATE TABLE Probe_type (
  Probe_type_id INTEGER PRIMARY KEY AUTOINCREMENT,
  Probe_type_name VARCHAR(50),
  Interface_type_code INTEGER,
  IP VARCHAR(100),
  Port INTEGER,
  Baudrate INTEGER,
  Polling_interval INTEGER,
  Probe_type_address BIGINT,
  Server_type_code SMALLINT DEFAULT 2,
  Protocol_type_code SMALLINT DEFAULT 1,
  First_RecID INTEGER,
  Last_RecID INTEGER,
  Last_Rec CHAR(50),
  Is_used BIT,
  Pending_queries TEXT,
  Relekezeles BIT NOT NULL DEFAULT 0
);
CREATE TABLE Probe (
  Probe_id INTEGER PRIMARY KEY AUTOINCREMENT,
  Probe_name VARCHAR(50),
  Probe_type_id INTEGER,
  Probe_address INTEGER,
  Probe_is_used BIT,
  Recording_rate INTEGER,
  Sampling_rate INTEGER,
  Sensor_type_code SMALLINT DEFAULT 4,
  Relay_number INTEGER DEFAULT 1,
  Graph_shift INTEGER NOT NULL DEFAULT 0,
  Graph_amp FLOAT NOT NULL DEFAULT 1,
  Invert_relay BIT NOT NULL DEFAULT 0,
  ws_hist_ts DATETIME,
  dac1_interval_start FLOAT,
  dac1_interval_end FLOAT,
  dac2_interval_start FLOAT,
  dac2_interval_end FLOAT,
  dac1_id_sensor INT,
  dac2_id_sensor INT
);
CREATE TABLE Global_settings (
  Global_settings_ID INTEGER PRIMARY KEY AUTOINCREMENT,
  Cfg_key VARCHAR(50) NULL,
  cfg_value TEXT NULL,
  Cfg_modif_date DATETIME NULL
);
CREATE TABLE User_settings (
  User_id VARCHAR(255),
  Cfg_key VARCHAR(50),
  Cfg_value TEXT
);
CREATE TABLE Threshold (
  Threshold_id INTEGER PRIMARY KEY AUTOINCREMENT,
  Measure_type_code SMALLINT DEFAULT 1,
  Threshold_value FLOAT DEFAULT 50,
  Threshold_type_code SMALLINT DEFAULT 1
);
CREATE TABLE Event (
  Event_id INTEGER PRIMARY KEY AUTOINCREMENT,
  Event_name VARCHAR(200) DEFAULT 'Új esemény',
  SndFile VARCHAR(100) DEFAULT 'Alarm.wav',
  Enabled BIT DEFAULT 1,
  "Limit" INTEGER DEFAULT 2,
  Limit_interval INTEGER DEFAULT 60,
  Limit_enabled BIT DEFAULT 1,
  Period INTEGER DEFAULT 1,
  Delay INTEGER DEFAULT 0,
  Condition_type_code SMALLINT DEFAULT 1,
  Condition_type_code2 SMALLINT DEFAULT 1,
  Measure_type_code SMALLINT DEFAULT 1,
  Measure_type_code2 SMALLINT DEFAULT 1,
  Threshold FLOAT DEFAULT 50,
  Threshold2 FLOAT DEFAULT 50,
  Threshold_type_code SMALLINT DEFAULT 1,
  Threshold_type_code2 SMALLINT DEFAULT 1,
  Sustain INTEGER DEFAULT 10,
  Sustain2 INTEGER DEFAULT 10,
  Sensor_list TEXT,
  Sensor_list2 TEXT,
  Task_list TEXT,
  Task_list2 TEXT,
  Event_is_used BIT DEFAULT 1,
  Sound_enabled BIT DEFAULT 1,
  Threshold_id INTEGER CONSTRAINT FK_THRESHOLD_ID REFERENCES Threshold (Threshold_id),
  Threshold_id2 INTEGER CONSTRAINT FK_THRESHOLD_ID2 REFERENCES Threshold (Threshold_id),
  week_days CHAR(7),
  hours VARCHAR(200),
  minutes VARCHAR(200),
  use_week_days BIT DEFAULT 0,
  use_hours BIT DEFAULT 0,
  use_minutes BIT DEFAULT 0,
  rate_count INTEGER DEFAULT 10,
  EvLimit INTEGER NULL DEFAULT 2,
  Limit_time BIT NOT NULL DEFAULT 0
);
CREATE TABLE Task (
  Task_id INTEGER PRIMARY KEY AUTOINCREMENT,
  Task_name VARCHAR(50) NOT NULL DEFAULT 'Új feladat',
  Task_type_code SMALLINT DEFAULT 2,
  Event_list TEXT,
  Relay_list TEXT,
  Message_destination VARCHAR(250) DEFAULT 'riasztas@example.com',
  Message_text TEXT DEFAULT 'Az Corvalux klímafelügyelő rendszer a megadott határértéket meghaladó hőmérsékleti/páratartalmi adatokat mért, kérjük, nézzen utána a problémának!',
  report_type INTEGER NOT NULL DEFAULT 0,
  report_data_count INTEGER NOT NULL DEFAULT 24,
  exec_cmd VARCHAR(200),
  exec_params VARCHAR(200)
);
CREATE TABLE Grafikonok (
  ID INTEGER PRIMARY KEY AUTOINCREMENT,
  Nev VARCHAR(50) DEFAULT 'Új grafikon',
  KezdoDatum DATETIME NULL,
  VegDatum DATETIME NULL,
  Lepeskoz INTEGER DEFAULT 1,
  BovuloGrafikon BIT NOT NULL DEFAULT 1,
  Szenzorok TEXT NOT NULL DEFAULT '',
  Merestipusok TEXT NOT NULL DEFAULT '',
  ChannelColors TEXT NOT NULL DEFAULT '',
  ChannelsSelected TEXT NOT NULL DEFAULT '',
  ChannelStyles TEXT NOT NULL DEFAULT '',
  SpanX FLOAT,
  SpanY FLOAT,
  MinX FLOAT,
  MinY FLOAT
);
CREATE TABLE Measure_type_code_to_string (
  Measure_type_code_as_int INTEGER NULL,
  Measure_type_code_as_str VARCHAR(100) NULL
);
CREATE TABLE Treshold_type_code_to_string (
  Treshold_type_code_as_int INTEGER NULL,
  Treshold_type_code_as_str VARCHAR(50) NULL
);
INSERT INTO Treshold_type_code_to_string (Treshold_type_code_as_int, Treshold_type_code_as_str) VALUES (1, 'felső határérték');
INSERT INTO Treshold_type_code_to_string (Treshold_type_code_as_int, Treshold_type_code_as_str) VALUES (2, 'alsó határérték');
CREATE TABLE Sensor_type_code_to_string (Sensor_type_code_as_int smallint NULL, Sensor_type_code_as_str char(100) NULL);
CREATE TABLE Server_type_code_to_string (Server_type_code_as_int smallint NULL, Server_type_code_as_str char(100) NULL);
CREATE TABLE Protocol_type_code_to_string (Protocol_type_code_as_int smallint NULL, Protocol_type_code_as_str char(100) NULL);
CREATE TABLE Task_type_code_to_string (Task_type_code_as_int smallint NULL, Task_type_code_as_str char(100) NULL);
CREATE TABLE Measure_type_precisions (Measure_type_id integer NULL, Precision_value integer NULL);
CREATE VIEW Threshold_list AS select Threshold.Threshold_id, Threshold.Threshold_value, Measure_type_code_to_string.Measure_type_code_as_str as MTC, Treshold_type_code_to_string.Treshold_type_code_as_str as TTC from ((Threshold left join Measure_type_code_to_string on (Threshold.Measure_type_code   = Measure_type_code_to_string.Measure_type_code_as_int)) left join Treshold_type_code_to_string on (Threshold.Threshold_type_code = Treshold_type_code_to_string.Treshold_type_code_as_int));
INSERT INTO Global_settings (Cfg_key, cfg_value) VALUES ('DBPasswd', '');
INSERT INTO Global_settings (Cfg_key, cfg_value) VALUES ('SNMP_OID', '1.3.6.1.4.1.52417.1');
INSERT INTO Global_settings (Cfg_key, cfg_value) VALUES ('DB_Version', '27');
