#!/usr/bin/env bash
# Configures the database of a working folder for the simulated devices of
# scenarios/demo.json: interfaces and sensors, an overheating event with e-mail, relay
# and SMS tasks, the GSM watchdog device and the mail server. Run again, it only
# updates the TCP ports (the simulator picks free ports at every start).
#
#   scripts/demo-config.sh DB PORTS-FILE SMTP-PORT WEB-PORT
#
# PORTS-FILE holds vbtsim's start-up lines ("listening NAME port N").
set -euo pipefail
db=$1 ports=$2 smtp_port=$3 web_port=$4

port_of() { awk -v n="$1" '$1 == "listening" && $2 == n { print $4 }' "$ports"; }
serverroom=$(port_of serverroom) storeroom=$(port_of storeroom) roof=$(port_of roof)
workshop=$(port_of workshop) gsmbox=$(port_of gsmbox)
for p in "$serverroom" "$storeroom" "$roof" "$workshop" "$gsmbox"; do
  [ -n "$p" ] || { echo "demo-config: a port is missing in $ports" >&2; exit 1; }
done

setting() { # key value: insert or update one Global_settings row
  echo "DELETE FROM Global_settings WHERE Cfg_key='$1';"
  echo "INSERT INTO Global_settings (Cfg_key, Cfg_value) VALUES ('$1', '$2');"
}

configured=$(sqlite3 "$db" "SELECT COUNT(*) FROM Probe_type")
{
  echo "BEGIN;"
  if [ "$configured" = "0" ]; then
    cat <<'SQL'
INSERT INTO Probe_type (Probe_type_id, Probe_type_name, Server_type_code, Protocol_type_code, IP, Port, Baudrate,
                        Polling_interval, Probe_type_address, Is_used, Relekezeles, Last_RecID) VALUES
  (1, 'Szerverterem', 1, 1, '127.0.0.1', 0, 115200, 2000, 1, 1, 0, 0),
  (2, 'Raktár (adatgyűjtős híd)', 3, 4, '127.0.0.1', 0, 115200, 10000, 249, 1, 0, 0),
  (3, 'Tető', 1, 1, '127.0.0.1', 0, 115200, 5000, 1, 1, 0, 0),
  (4, 'Műhely (DOV)', 1, 2, '127.0.0.1', 0, 115200, 2000, 1, 1, 0, 0);
INSERT INTO Probe (Probe_id, Probe_name, Probe_type_id, Probe_address, Probe_is_used, Recording_rate, Sampling_rate,
                   Sensor_type_code, Relay_number) VALUES
  (1, 'Rack 1', 1, 5, 1, 60000, 2000, 4, 1),
  (2, 'Rack 2', 1, 6, 1, 60000, 2000, 5, 1),
  (3, 'Klíma tartalék relé', 1, 20, 1, 60000, 2000, 8, 1),
  (4, 'Hűtőkamra 1', 2, 5, 1, 60000, 10000, 4, 1),
  (5, 'Mélyhűtő', 2, 6, 1, 60000, 10000, 1, 1),
  (6, 'Időjárás-állomás', 3, 30, 1, 300000, 5000, 12, 1),
  (7, 'Műhely fal', 4, 1, 1, 60000, 2000, 1, 1),
  (8, 'Műhely ajtó', 4, 2, 1, 60000, 2000, 1, 1);
INSERT INTO Threshold (Threshold_id, Measure_type_code, Threshold_value, Threshold_type_code) VALUES
  (1, 1, 25, 1),
  (2, 1, 24, 2);
INSERT INTO Task (Task_id, Task_name, Task_type_code, Relay_list, Event_list, Message_destination, Message_text) VALUES
  (1, 'E-mail az ügyeletesnek', 1, '', '', 'ugyelet@example.com', 'A szerverterem hőmérséklete %f °C.'),
  (2, 'Tartalék klíma bekapcsolva tartása', 6, '3', '', '', ''),
  (3, 'SMS az ügyeletesnek', 2, '', '', '+36301234567', 'Szerverterem: %f °C'),
  (4, 'Tartalék klíma kikapcsolása', 4, '3', '', '', '');
INSERT INTO Event (Event_id, Event_name, Event_is_used, Condition_type_code, Condition_type_code2, Threshold_id,
                   Threshold_id2, Measure_type_code, Measure_type_code2, Threshold, Threshold2, Threshold_type_code,
                   Threshold_type_code2, Sustain, Sustain2, Sensor_list, Sensor_list2, Task_list, Task_list2,
                   Limit_enabled, EvLimit, "Limit", Limit_interval, Sound_enabled, Limit_time) VALUES
  (1, 'Szerverterem túlmelegedés', 1, 1, 1, 1, 2, 1, 1, 25, 24, 1, 2, 0, 0, '1', '1', '1,2,3', '4',
   1, 2, 2, 60, 0, 0);
SQL
    setting CSV_Log -1
    setting Use_SMSHw -1
    setting WatchdogType 2
    setting SMSTcpHost 127.0.0.1
    setting SMSTcpAddr 249
    setting SMTP_Server 127.0.0.1
    setting SMTP_Sender corvalux@localhost
    setting Use_WebSrv -1
  fi
  echo "UPDATE Probe_type SET Port=$serverroom WHERE Probe_type_id=1;"
  echo "UPDATE Probe_type SET Port=$storeroom WHERE Probe_type_id=2;"
  echo "UPDATE Probe_type SET Port=$roof WHERE Probe_type_id=3;"
  echo "UPDATE Probe_type SET Port=$workshop WHERE Probe_type_id=4;"
  setting SMSTcpPort "$gsmbox"
  setting SMTP_Port "$smtp_port"
  setting WebSrvPort "$web_port"
  echo "COMMIT;"
} | sqlite3 "$db"
