-- lumbra-server on PostgreSQL: the schema, the roles and the grants a database needs.
--
-- lumbra-server runs this same script itself at every start and before every
-- `user` command, as the role of its --database URI, so that a role that may
-- create roles (the database's owner with CREATEROLE, or a superuser) needs no
-- other set-up. An operator who gives lumbra-server no such role runs it once
-- (and again after a change of owner) as a role that may, naming the role of
-- the URI that lumbra-server will use, the owning role:
--
--   psql -X -v ON_ERROR_STOP=1 -d 'postgresql://ADMIN@HOST:PORT/DATABASE' \
--        -c 'SET lumbra.owner = OWNER' -f setup.sql
--
-- (without lumbra.owner the owning role is the database's owner). Running it
-- again changes nothing; two runs at once wait for each other.
--
-- What it makes:
--   schema lumbra_server         owned by the owning role; nobody else has any
--                                privilege on it or on its tables.
--     users                      identification, PBKDF2 hash, time of the change
--     session_login              the one row: the sessions' role and its password
--   role lumbra_session_<oid>    (<oid>: the database's oid; roles are shared by
--                                every database of a cluster) LOGIN, no
--                                SUPERUSER, CREATEDB, CREATEROLE, REPLICATION or
--                                BYPASSRLS, member of no role; a random password
--                                of 64 hex digits, kept in session_login.
--   grants                       CONNECT on the database and USAGE and CREATE on
--                                schema public to the sessions' role: the
--                                sessions' tables live in public.
-- It refuses (and changes nothing) when lumbra_server belongs to another role,
-- when the sessions' role is a member of the owning role, or when something
-- it must create needs a privilege the running role lacks.
BEGIN;
SELECT pg_catalog.pg_advisory_xact_lock(7236828174069985329);
DO $setup$
DECLARE
  owner_name text := coalesce(nullif(pg_catalog.current_setting('lumbra.owner', true), ''),
                              (SELECT pg_catalog.pg_get_userbyid(datdba) FROM pg_catalog.pg_database
                               WHERE datname = pg_catalog.current_database()));
  owner_oid oid;
  schema_owner oid;
  session_name text;
  session_password text;
  new_password boolean := false;
  may_create_roles boolean;
  role_row record;
  role_found boolean;
  expected_name text := 'lumbra_session_' || (SELECT oid FROM pg_catalog.pg_database
                                               WHERE datname = pg_catalog.current_database());
  table_name text;
BEGIN
  SELECT oid INTO owner_oid FROM pg_catalog.pg_roles WHERE rolname = owner_name;
  IF owner_oid IS NULL THEN
    RAISE EXCEPTION 'lumbra-server set-up: there is no role %', owner_name;
  END IF;
  SELECT rolsuper OR rolcreaterole INTO may_create_roles FROM pg_catalog.pg_roles WHERE rolname = current_user;

  SELECT nspowner INTO schema_owner FROM pg_catalog.pg_namespace WHERE nspname = 'lumbra_server';
  IF schema_owner IS NULL THEN
    EXECUTE pg_catalog.format('CREATE SCHEMA lumbra_server AUTHORIZATION %I', owner_name);
  ELSIF schema_owner <> owner_oid THEN
    RAISE EXCEPTION 'lumbra-server set-up: the schema lumbra_server belongs to %, not to %',
      pg_catalog.pg_get_userbyid(schema_owner), owner_name;
  END IF;
  IF pg_catalog.to_regclass('lumbra_server.users') IS NULL THEN
    CREATE TABLE lumbra_server.users (
      id text COLLATE "C" PRIMARY KEY,
      hash text NOT NULL,
      changed timestamptz NOT NULL DEFAULT pg_catalog.now());
    EXECUTE pg_catalog.format('ALTER TABLE lumbra_server.users OWNER TO %I', owner_name);
  END IF;
  IF pg_catalog.to_regclass('lumbra_server.session_login') IS NULL THEN
    CREATE TABLE lumbra_server.session_login (
      one boolean PRIMARY KEY DEFAULT true CHECK (one),
      role_name text NOT NULL,
      password text NOT NULL);
    EXECUTE pg_catalog.format('ALTER TABLE lumbra_server.session_login OWNER TO %I', owner_name);
  END IF;
  FOR table_name IN SELECT c.relname FROM pg_catalog.pg_class c
      WHERE c.relnamespace = 'lumbra_server'::regnamespace AND c.relkind IN ('r', 'p') AND c.relowner <> owner_oid LOOP
    RAISE EXCEPTION 'lumbra-server set-up: the table lumbra_server.% does not belong to %', table_name, owner_name;
  END LOOP;

  -- A row naming another database's role (a dump restored under another
  -- name, say) is made anew: no two databases share a sessions' role.
  SELECT role_name, password INTO session_name, session_password FROM lumbra_server.session_login;
  IF session_name IS DISTINCT FROM expected_name THEN
    session_name := expected_name;
    session_password := pg_catalog.replace(pg_catalog.gen_random_uuid()::text || pg_catalog.gen_random_uuid()::text,
                                           '-', '');
    new_password := true;
    INSERT INTO lumbra_server.session_login (role_name, password) VALUES (session_name, session_password)
      ON CONFLICT (one) DO UPDATE SET role_name = excluded.role_name, password = excluded.password;
  END IF;

  SELECT * INTO role_row FROM pg_catalog.pg_roles WHERE rolname = session_name;
  role_found := FOUND;
  IF NOT role_found OR new_password OR NOT role_row.rolcanlogin OR role_row.rolsuper OR role_row.rolcreatedb
     OR role_row.rolcreaterole OR role_row.rolreplication OR role_row.rolbypassrls THEN
    IF NOT may_create_roles THEN
      RAISE EXCEPTION 'lumbra-server set-up: the role % may not create roles, and the sessions'' role % %',
        current_user, session_name, CASE WHEN NOT role_found THEN 'is missing' ELSE 'needs a change' END
        USING HINT = 'Run server/postgres/setup.sql as a role that may (see server/README.md), '
                     'or give ' || current_user || ' CREATEROLE.';
    END IF;
    IF NOT role_found THEN
      EXECUTE pg_catalog.format(
        'CREATE ROLE %I WITH LOGIN NOSUPERUSER NOCREATEDB NOCREATEROLE NOREPLICATION NOBYPASSRLS PASSWORD %L',
        session_name, session_password);
    ELSE
      -- Only what must change: naming SUPERUSER, REPLICATION or BYPASSRLS at
      -- all takes a superuser.
      EXECUTE pg_catalog.format('ALTER ROLE %I WITH%s%s%s%s%s%s%s', session_name,
        CASE WHEN NOT role_row.rolcanlogin THEN ' LOGIN' ELSE '' END,
        CASE WHEN role_row.rolsuper THEN ' NOSUPERUSER' ELSE '' END,
        CASE WHEN role_row.rolcreatedb THEN ' NOCREATEDB' ELSE '' END,
        CASE WHEN role_row.rolcreaterole THEN ' NOCREATEROLE' ELSE '' END,
        CASE WHEN role_row.rolreplication THEN ' NOREPLICATION' ELSE '' END,
        CASE WHEN role_row.rolbypassrls THEN ' NOBYPASSRLS' ELSE '' END,
        CASE WHEN new_password THEN pg_catalog.format(' PASSWORD %L', session_password) ELSE '' END);
    END IF;
  END IF;
  -- Settings of its own (a session may give them to its role) would be the
  -- defaults of every session connection: they go.
  FOR table_name IN SELECT coalesce(d.datname, '') FROM pg_catalog.pg_db_role_setting st
      LEFT JOIN pg_catalog.pg_database d ON d.oid = st.setdatabase
      WHERE st.setrole = (SELECT oid FROM pg_catalog.pg_roles WHERE rolname = session_name) LOOP
    IF NOT may_create_roles THEN
      RAISE EXCEPTION 'lumbra-server set-up: the sessions'' role % has settings of its own, and % may not take them back',
        session_name, current_user;
    END IF;
    EXECUTE pg_catalog.format('ALTER ROLE %I %s RESET ALL', session_name,
      CASE WHEN table_name = '' THEN '' ELSE pg_catalog.format('IN DATABASE %I', table_name) END);
  END LOOP;
  IF pg_catalog.pg_has_role(session_name, owner_oid, 'MEMBER') THEN
    RAISE EXCEPTION 'lumbra-server set-up: the sessions'' role % is a member of %, which owns the users',
      session_name, owner_name;
  END IF;

  IF NOT pg_catalog.has_database_privilege(session_name, pg_catalog.current_database(), 'CONNECT') THEN
    EXECUTE pg_catalog.format('GRANT CONNECT ON DATABASE %I TO %I', pg_catalog.current_database(), session_name);
  END IF;
  IF pg_catalog.to_regnamespace('public') IS NULL THEN
    RAISE EXCEPTION 'lumbra-server set-up: there is no schema public for the sessions'' tables';
  END IF;
  IF NOT pg_catalog.has_schema_privilege(session_name, 'public', 'USAGE')
     OR NOT pg_catalog.has_schema_privilege(session_name, 'public', 'CREATE') THEN
    EXECUTE pg_catalog.format('GRANT USAGE, CREATE ON SCHEMA public TO %I', session_name);
  END IF;
  IF pg_catalog.has_schema_privilege(session_name, 'lumbra_server', 'USAGE, CREATE') THEN
    EXECUTE pg_catalog.format('REVOKE ALL ON SCHEMA lumbra_server FROM PUBLIC, %I', session_name);
  END IF;
  FOREACH table_name IN ARRAY ARRAY['lumbra_server.users', 'lumbra_server.session_login'] LOOP
    IF pg_catalog.has_table_privilege(session_name, table_name,
                                      'SELECT, INSERT, UPDATE, DELETE, TRUNCATE, REFERENCES, TRIGGER') THEN
      EXECUTE pg_catalog.format('REVOKE ALL ON TABLE %s FROM PUBLIC, %I', table_name, session_name);
    END IF;
  END LOOP;
  IF pg_catalog.has_schema_privilege(session_name, 'lumbra_server', 'USAGE, CREATE') THEN
    RAISE EXCEPTION 'lumbra-server set-up: the sessions'' role % reaches the schema lumbra_server through '
                    'another role', session_name;
  END IF;
END
$setup$;
COMMIT;
