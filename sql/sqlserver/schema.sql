-- Veltrano's message database on SQL Server 2012 or later: parameters, message queue, the two views.
--
-- Run it in the database that config.ini names (key db), for example
--     sqlcmd -S 192.168.1.10 -U sa -d veltrano -i sql/sqlserver/schema.sql
-- The database needs a case-insensitive collation, because other systems spell sysParam,
-- ParamName and ParamValue in any case. A new one can be made with
--     create database veltrano collate Chinese_PRC_CI_AS
-- Running the script again adds what is missing and keeps every row; the two views are made anew.

set nocount on;
set ansi_nulls on;
set quoted_identifier on;
go

-- String literals compare under the database's collation: a case-sensitive one stops the script.
if N'sysparam' <> N'SYSPARAM'
begin
    raiserror (N'This database has a case-sensitive collation. Create it with a _CI_ collation, e.g. create database veltrano collate Chinese_PRC_CI_AS.', 16, 1);
    set noexec on;
end
go

-- One row per key. ParamValue must stay the third column: Veltrano reads it by position.
if object_id(N'dbo.sysParam', N'U') is null
    create table dbo.sysParam (
        id int identity (1, 1) not null constraint PK_sysParam primary key,
        ParamName nvarchar(50) not null constraint UQ_sysParam_ParamName unique,
        ParamValue nvarchar(1000) null
    );
go

-- The eleven keys. in_time lies far enough back that the first direct exchange asks WeChat for a
-- token, and near enough that DATEDIFF(second, ...) stays within its 32-bit range (68 years). The
-- form with a T reads as a datetime under every language and date-format setting.
insert into dbo.sysParam (ParamName, ParamValue)
select k.ParamName, k.ParamValue
from (values (N'appid', N''),
             (N'appsecret', N''),
             (N'get_token_mod', N'1'),
             (N'token_server', N''),
             (N'temp', N'10'),
             (N'temp_timer', N'5'),
             (N'cust', N'10'),
             (N'cust_timer', N'5'),
             (N'access_token', N''),
             (N'expires_in', N''),
             (N'in_time', N'2020-01-01T00:00:00')) as k (ParamName, ParamValue)
where not exists (select 1 from dbo.sysParam p where p.ParamName = k.ParamName);
go

-- The queue. Other systems insert msg (the complete WeChat JSON body), kind (1 template message,
-- 2 customer-service message) and openid; Veltrano sets stat (WeChat's answer) and sendtime.
if object_id(N'dbo.tempmsg', N'U') is null
    create table dbo.tempmsg (
        id int identity (1, 1) not null constraint PK_tempmsg primary key,
        msg nvarchar(max) null,
        kind int null,
        openid nvarchar(64) null,
        stat nvarchar(max) null,
        sendtime datetime null,
        intime datetime not null constraint DF_tempmsg_intime default (getdate())
    );
go

-- The pending read takes the oldest rows whose stat is NULL, in id order, every few hundred rows.
-- Without this index each read scans every sent row the table has kept; with it the read touches
-- the pending rows alone, however many millions were sent. It also serves a table made by an
-- earlier run of this script. Sessions that write tempmsg need the standard SET options
-- (ANSI_NULLS, QUOTED_IDENTIFIER and the like ON), which every current driver sets by default.
if not exists (select 1 from sys.indexes
               where object_id = object_id(N'dbo.tempmsg') and name = N'IX_tempmsg_pending')
    create index IX_tempmsg_pending on dbo.tempmsg (id) where stat is null;
go

if object_id(N'dbo.send_json', N'V') is not null
    drop view dbo.send_json;
go

-- Pending messages are the rows whose stat is NULL. Body, id and kind come first: Veltrano reads
-- them by position.
create view dbo.send_json as
select msg as body, id, kind, stat, openid, sendtime, intime
from dbo.tempmsg;
go

if object_id(N'dbo.SEND_REC', N'V') is not null
    drop view dbo.SEND_REC;
go

-- Sent messages as the record viewer lists them, columns 0 to 6 by position. The status code is
-- the errcode of WeChat's answer, read as text so that SQL Server 2012 and 2014 (which have no
-- JSON functions) can run it: the first "errcode" key of an answer that starts with "{", followed by
-- a colon and a whole number. An answer that is a local error text, or empty, has no code and counts
-- as failed. On SQL Server 2016 or later JSON_VALUE(stat, '$.errcode') where ISJSON(stat) = 1
-- gives the same codes. The recipient falls back to the body's "touser" when openid is NULL.
--
-- This file holds ASCII only, so sqlcmd reads it the same in every code page. The Chinese column
-- names and texts of the view (message type, send status, status code, send time; template
-- message, customer-service message, unknown type; success, failure) are therefore spelled as
-- character codes and put in place of the $...$ markers before the view is made.
declare @view nvarchar(max) = N'
create view dbo.SEND_REC as
select t.id,
       case t.kind when 1 then N''$TEMPLATE$'' when 2 then N''$CUSTOMER$'' else N''$UNKNOWN$'' end as $TYPE$,
       coalesce(t.openid, r.touser) as OPENID,
       case when e.errcode = N''0'' then N''$OK$'' else N''$FAILED$'' end as $STATE$,
       e.errcode as $CODE$,
       t.msg as JSON,
       t.sendtime as $TIME$
from dbo.tempmsg t
cross apply (select case when left(ltrim(t.stat), 1) = N''{''
                         then charindex(N''"errcode"'', t.stat) else 0 end as at) ea
cross apply (select case when ea.at > 0
                         then ltrim(substring(t.stat, ea.at + 9, 64)) end as tail) eb
cross apply (select case when left(eb.tail, 1) = N'':''
                         then ltrim(substring(eb.tail, 2, 64)) end as number) ec
cross apply (select case when ec.number like N''[0-9]%'' or ec.number like N''-[0-9]%''
                         then left(ec.number, patindex(N''%[^-0-9]%'', ec.number + N''x'') - 1)
                    end as errcode) e
cross apply (select charindex(N''"touser"'', t.msg) as at) ra
cross apply (select case when ra.at > 0
                         then ltrim(substring(t.msg, ra.at + 8, 200)) end as tail) rb
cross apply (select case when left(rb.tail, 1) = N'':''
                         then ltrim(substring(rb.tail, 2, 200)) end as value) rc
cross apply (select case when left(rc.value, 1) = N''"'' and charindex(N''"'', rc.value, 2) > 2
                         then substring(rc.value, 2, charindex(N''"'', rc.value, 2) - 2)
                    end as touser) r
where t.stat is not null';
set @view = replace(@view, N'$TYPE$', nchar(0x6D88) + nchar(0x606F) + nchar(0x7C7B) + nchar(0x578B));
set @view = replace(@view, N'$STATE$', nchar(0x53D1) + nchar(0x9001) + nchar(0x72B6) + nchar(0x6001));
set @view = replace(@view, N'$CODE$', nchar(0x72B6) + nchar(0x6001) + nchar(0x4EE3) + nchar(0x7801));
set @view = replace(@view, N'$TIME$', nchar(0x53D1) + nchar(0x9001) + nchar(0x65F6) + nchar(0x95F4));
set @view = replace(@view, N'$TEMPLATE$', nchar(0x6A21) + nchar(0x677F) + nchar(0x6D88) + nchar(0x606F));
set @view = replace(@view, N'$CUSTOMER$', nchar(0x5BA2) + nchar(0x670D) + nchar(0x6D88) + nchar(0x606F));
set @view = replace(@view, N'$UNKNOWN$', nchar(0x672A) + nchar(0x77E5) + nchar(0x7C7B) + nchar(0x578B));
set @view = replace(@view, N'$OK$', nchar(0x6210) + nchar(0x529F));
set @view = replace(@view, N'$FAILED$', nchar(0x5931) + nchar(0x8D25));
exec (@view);
go

set noexec off;
go
