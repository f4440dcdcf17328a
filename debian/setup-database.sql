-- brix: the database and account of the daemon, made once by the administrator, as root:
--     mysql < /usr/share/brix/setup-database.sql
-- The account brix@localhost is authenticated by the system user of the connecting process
-- (unix_socket): the service, running as the system user brix, logs in through the server's
-- socket with no password, and no other user can. Running this again changes nothing.
CREATE DATABASE IF NOT EXISTS brix;
CREATE USER IF NOT EXISTS 'brix'@'localhost' IDENTIFIED VIA unix_socket;
GRANT ALL PRIVILEGES ON brix.* TO 'brix'@'localhost';
