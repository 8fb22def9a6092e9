-- The tables Lumora Index Manager reads and writes in the application's database,
-- for SQLite:  sqlite3 app.db < schema-sqlite.sql
--
-- DOCUMENT      the documents of the example index (the example configuration's
--               IndexSetting1 reads DOCID, TITLE, BODY, URL, NODEID). NODEID is the
--               catalog node a document belongs to, stored in the index so that a
--               reader shows a document only to the users whose USERNODE holds it.
-- CATALOGNODE   the catalog trees: each node, its parent (NULL at the top) and its
--               catalog.
-- CATALOGNODEBYUSER  the nodes assigned to each user, each with its LEVEL: the depth
--               of that node in its catalog's tree, 0 for the catalog's top node. An
--               assignment at LEVEL 0 grants the whole catalog; otherwise the user sees
--               each assigned node that has no assigned node above it, with everything
--               below it. Rows with ISPROFILE other than 0 are not read.
-- USERNODE      the result, rewritten by every build for each user listed in
--               CATALOGNODEBYUSER: the nodes that user may see. A user with no
--               assignment left is not listed, so its old rows stay until removed.

CREATE TABLE DOCUMENT (
    DOCID INTEGER      NOT NULL PRIMARY KEY,
    TITLE VARCHAR(400) NOT NULL,
    BODY  TEXT         NOT NULL,
    URL   VARCHAR(400) NULL,
    NODEID INTEGER     NULL
);

CREATE TABLE CATALOGNODE (
    NODEID       INTEGER      NOT NULL PRIMARY KEY,
    PARENTNODEID INTEGER      NULL,
    CATALOGID    INTEGER      NOT NULL,
    NODENAME     VARCHAR(200) NOT NULL
);
CREATE INDEX IX_CATALOGNODE_PARENT ON CATALOGNODE (PARENTNODEID);
CREATE INDEX IX_CATALOGNODE_CATALOG ON CATALOGNODE (CATALOGID, NODEID);

CREATE TABLE CATALOGNODEBYUSER (
    USERID    VARCHAR(100) NOT NULL,
    CATALOGID INTEGER      NOT NULL,
    NODEID    INTEGER      NOT NULL,
    LEVEL     SMALLINT     NOT NULL,
    ISPROFILE INTEGER      NOT NULL DEFAULT 0
);
CREATE INDEX IX_CATALOGNODEBYUSER_USER ON CATALOGNODEBYUSER (USERID, CATALOGID);

CREATE TABLE USERNODE (
    USERID    VARCHAR(100) NOT NULL,
    CATALOGID INTEGER      NOT NULL,
    NODEID    INTEGER      NOT NULL
);
CREATE INDEX IX_USERNODE_USER ON USERNODE (USERID);
