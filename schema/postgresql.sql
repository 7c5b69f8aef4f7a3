CREATE TABLE IF NOT EXISTS "drivers" (
  "driver_id" integer NOT NULL,
  "computer_name" varchar(255),
  "driver_type" varchar(255),
  "tcp_listen_port" integer DEFAULT 0,
  "status" integer DEFAULT 0,
  "description" varchar(255),
  PRIMARY KEY ("driver_id")
);

CREATE INDEX IF NOT EXISTS "ix_drivers_computer_name" ON "drivers" ("computer_name");

CREATE TABLE IF NOT EXISTS "controllers" (
  "address" varchar(255) NOT NULL,
  "driver_id" integer,
  "controller_address" integer,
  "poll" integer DEFAULT 0,
  "connection_type" varchar(255),
  "ec_1_name" varchar(255),
  "cstatus" integer DEFAULT 0,
  "description" varchar(255),
  "baud_rate" integer,
  "password" varchar(255),
  "region_id" integer DEFAULT 0,
  PRIMARY KEY ("address")
);

CREATE INDEX IF NOT EXISTS "ix_controllers_driver_id" ON "controllers" ("driver_id");

CREATE TABLE IF NOT EXISTS "channels" (
  "driver_id" integer NOT NULL,
  "channel" integer NOT NULL,
  "port" varchar(255),
  "baud_rate" integer,
  "port2" integer,
  PRIMARY KEY ("driver_id", "channel")
);

CREATE TABLE IF NOT EXISTS "event_descriptions" (
  "event_id" varchar(255) NOT NULL,
  "description" text,
  "log_type" integer DEFAULT 0,
  "email" varchar(255),
  "routeid" varchar(255),
  PRIMARY KEY ("event_id")
);

CREATE TABLE IF NOT EXISTS "controller_commands" (
  "id" serial PRIMARY KEY,
  "address" varchar(255),
  "cmd" text
);

CREATE INDEX IF NOT EXISTS "ix_controller_commands_address" ON "controller_commands" ("address");

CREATE TABLE IF NOT EXISTS "cbuffer" (
  "id" serial PRIMARY KEY,
  "address" varchar(255),
  "msg" text
);

CREATE INDEX IF NOT EXISTS "ix_cbuffer_address" ON "cbuffer" ("address");

CREATE TABLE IF NOT EXISTS "workstations" (
  "id" serial PRIMARY KEY,
  "description" varchar(255)
);

CREATE TABLE IF NOT EXISTS "workstations_cmd" (
  "id" serial PRIMARY KEY,
  "description" varchar(255),
  "command" text
);

CREATE TABLE IF NOT EXISTS "region_descriptions" (
  "region_id" integer NOT NULL,
  "description" varchar(255),
  PRIMARY KEY ("region_id")
);

CREATE TABLE IF NOT EXISTS "global_settings" (
  "id" integer NOT NULL,
  "max_regions" integer,
  PRIMARY KEY ("id")
);

CREATE TABLE IF NOT EXISTS "devices" (
  "id" serial PRIMARY KEY,
  "address" varchar(255),
  "device_address" integer,
  "description" varchar(255),
  "group_id" integer DEFAULT 0,
  "device" varchar(255),
  "event_source" varchar(255),
  "device_type" varchar(255),
  "latch_mode" integer DEFAULT 0,
  "region_id" integer DEFAULT 0
);

CREATE INDEX IF NOT EXISTS "ix_devices_address" ON "devices" ("address");

CREATE TABLE IF NOT EXISTS "authority_levels" (
  "address" varchar(255) NOT NULL,
  "subitem" integer NOT NULL,
  "smash" varchar(255),
  PRIMARY KEY ("address", "subitem")
);

CREATE TABLE IF NOT EXISTS "sked_holidays" (
  "address" varchar(255) NOT NULL,
  "holiday_index" integer NOT NULL,
  "1" varchar(255),
  "2" varchar(255),
  "3" varchar(255),
  "4" varchar(255),
  "5" varchar(255),
  "6" varchar(255),
  "7" varchar(255),
  "8" varchar(255),
  "9" varchar(255),
  "10" varchar(255),
  "11" varchar(255),
  "12" varchar(255),
  PRIMARY KEY ("address", "holiday_index")
);

CREATE TABLE IF NOT EXISTS "skeds" (
  "controller_address" varchar(255) NOT NULL,
  "sked_id" integer NOT NULL,
  "description" varchar(255),
  "xept_holidays" integer DEFAULT 0,
  "sunday" integer DEFAULT 0,
  "monday" integer DEFAULT 0,
  "tuesday" integer DEFAULT 0,
  "wednesday" integer DEFAULT 0,
  "thursday" integer DEFAULT 0,
  "friday" integer DEFAULT 0,
  "saturday" integer DEFAULT 0,
  "holiday1" varchar(255),
  "holiday2" varchar(255),
  "holiday3" varchar(255),
  "holiday4" varchar(255),
  "sked_date" varchar(255),
  "time_edit" integer DEFAULT 0,
  "sked_time" varchar(255),
  "function_code" integer DEFAULT 0,
  "parameter1" varchar(255),
  "parameter2" varchar(255),
  PRIMARY KEY ("controller_address", "sked_id")
);

CREATE TABLE IF NOT EXISTS "personnel" (
  "id" serial PRIMARY KEY,
  "first_name" varchar(255),
  "last_name" varchar(255),
  "name" varchar(255),
  "card_type" varchar(255),
  "ai_id" integer DEFAULT 0,
  "last_reader" varchar(255),
  "last_used" varchar(255)
);

CREATE TABLE IF NOT EXISTS "personnel_rec" (
  "id" serial PRIMARY KEY,
  "record_id" integer,
  "region" integer,
  "record_number" integer,
  "user_group" integer,
  "area1" integer,
  "area2" integer,
  "area3" integer,
  "area4" integer,
  "area5" integer,
  "area6" integer,
  "area7" integer,
  "area8" integer,
  "user_id" integer,
  "sub_user_group" integer
);

CREATE INDEX IF NOT EXISTS "ix_personnel_rec_record_id_region" ON "personnel_rec" ("record_id", "region");

CREATE TABLE IF NOT EXISTS "credentials" (
  "id" serial PRIMARY KEY,
  "record_id" integer,
  "credential_number" bigint,
  "record_number" integer,
  "status" integer,
  "facility_code_flag" integer,
  "facility_code" integer,
  "re_issue_code" integer,
  "hot_stamp_number" double precision,
  "activate_date" varchar(255),
  "de_activate_date" varchar(255)
);

CREATE INDEX IF NOT EXISTS "ix_credentials_credential_number" ON "credentials" ("credential_number");

CREATE INDEX IF NOT EXISTS "ix_credentials_record_id" ON "credentials" ("record_id");

CREATE TABLE IF NOT EXISTS "alarm_integration" (
  "id" serial PRIMARY KEY,
  "ai_id" integer,
  "reader" varchar(255),
  "controller_address" varchar(255),
  "disarm_areas" varchar(255)
);

CREATE TABLE IF NOT EXISTS "area_control" (
  "controller_address" varchar(255) NOT NULL,
  "area_number" integer NOT NULL,
  "description" varchar(255),
  PRIMARY KEY ("controller_address", "area_number")
);

CREATE TABLE IF NOT EXISTS "secured_areas" (
  "address" varchar(255) NOT NULL,
  "id" integer NOT NULL,
  "description" varchar(255),
  "open_window_time" integer,
  "closed_window_time" integer,
  "state" varchar(255) DEFAULT '0',
  PRIMARY KEY ("address", "id")
);

CREATE TABLE IF NOT EXISTS "timeschedule_descriptions" (
  "timeschedule_id" integer NOT NULL,
  "region_id" integer NOT NULL,
  "description" varchar(255),
  PRIMARY KEY ("timeschedule_id", "region_id")
);

CREATE TABLE IF NOT EXISTS "triggers" (
  "id" serial PRIMARY KEY,
  "event_id" varchar(255),
  "controller_address" varchar(255),
  "macro_id" integer,
  "time_schedule" integer
);

CREATE TABLE IF NOT EXISTS "sub_controllers" (
  "address" varchar(255) NOT NULL,
  "driver_id" integer,
  "description" varchar(255),
  "comm_channel" integer,
  PRIMARY KEY ("address")
);

CREATE TABLE IF NOT EXISTS "events" (
  "id" serial PRIMARY KEY,
  "region_id" integer DEFAULT 0,
  "date" date,
  "time" time,
  "time_num" double precision,
  "time_string" varchar(255),
  "address" text,
  "address_description" varchar(255),
  "device" varchar(255),
  "event_id" varchar(255),
  "event_description" text,
  "name" text,
  "data2" text,
  "data" text,
  "log_type" integer,
  "group_id" double precision
);

CREATE INDEX IF NOT EXISTS "ix_events_address" ON "events" ("address");

CREATE INDEX IF NOT EXISTS "ix_events_event_id" ON "events" ("event_id");

CREATE TABLE IF NOT EXISTS "alarms" (
  "id" serial PRIMARY KEY,
  "region_id" integer DEFAULT 0,
  "date" date,
  "time" time,
  "time_num" double precision,
  "time_string" varchar(255),
  "address" text,
  "address_description" varchar(255),
  "device" varchar(255),
  "event_id" varchar(255),
  "event_description" text,
  "name" text,
  "data2" text,
  "data" text,
  "device_type" varchar(255),
  "status" varchar(255),
  "priority" integer
);

CREATE INDEX IF NOT EXISTS "ix_alarms_address" ON "alarms" ("address");

CREATE TABLE IF NOT EXISTS "panel_users" (
  "region_id" integer NOT NULL,
  "user_number" integer NOT NULL,
  "field" varchar(255) NOT NULL,
  "value" text,
  PRIMARY KEY ("region_id", "user_number", "field")
);

CREATE TABLE IF NOT EXISTS "device_state" (
  "address" varchar(255) NOT NULL,
  "event_id" varchar(255),
  "changed" varchar(255),
  PRIMARY KEY ("address")
);

CREATE TABLE IF NOT EXISTS "applied_events" (
  "identity" varchar(255) NOT NULL,
  "applied_at" varchar(255),
  PRIMARY KEY ("identity")
);

